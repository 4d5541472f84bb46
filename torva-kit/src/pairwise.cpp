// align_pair and its result Alignment: one pairwise alignment with its pairs.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "kit.hpp"
#include "torva/scoring.hpp"
#include "torva/structure_pair.hpp"

namespace torva_kit {

void bind_pairwise(nb::module_& m) {
    using A = torva::StructurePairAlignment;
    nb::class_<A>(m, "Alignment", "One pairwise alignment: pairs, distances, transform and statistics.")
        .def_prop_ro("pairs", [](const A& a) { return pairs_array(a.pairs); }, "(n, 2) int64: (fixed, mobile) indices")
        .def_prop_ro(
            "core_pairs",
            [](const A& a) {
                const std::size_t n = a.core_pairs.size();
                return owned_array(std::vector<std::uint8_t>(a.core_pairs), {n});
            },
            "(n,) uint8: 1 for the pairs the identity is taken over")
        .def_prop_ro(
            "distances", [](const A& a) { return owned_array(std::vector<double>(a.distances), {a.distances.size()}); },
            "(n,) float64: C-alpha distance of each pair after the superposition")
        .def_prop_ro("transform", [](const A& a) { return matrix_array(a.transform); },
                     "4x4 float64: maps the mobile structure onto the fixed one")
        .def_ro("score", &A::score)
        .def_ro("rmsd", &A::rmsd)
        .def_ro("n_aligned", &A::n_aligned)
        .def_ro("seq_identity", &A::seq_identity);

    m.def(
        "align_pair",
        [](Coords fixed_coords, const std::string& fixed_sequence, Coords mobile_coords,
           const std::string& mobile_sequence, const torva::Parameters& settings, bool scan, std::size_t step) {
            const torva::Domain fixed = domain_of(points_of(fixed_coords), code_points(fixed_sequence));
            const torva::Domain mobile = domain_of(points_of(mobile_coords), code_points(mobile_sequence));
            return unwrap(torva::align_structures(fixed, mobile, settings, scan, step, signal_cancel()),
                          "Scan alignment failed: ");
        },
        nb::arg("fixed_coords"), nb::arg("fixed_sequence"), nb::arg("mobile_coords"), nb::arg("mobile_sequence"),
        nb::arg("settings"), nb::kw_only(), nb::arg("scan") = true,
        nb::arg("step") = torva::ScanSettings::kPairwiseStep,
        "Align the mobile structure onto the fixed one, in scan mode or directly (the alignment "
        "dovel.pairwise_align makes, pairs included).");
}

}  // namespace torva_kit
