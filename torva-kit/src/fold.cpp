// tm_score, fold_align and fold_align_domains: the TM-score of a given
// alignment, the alignment that maximises it, and the multiple alignment built
// from such alignments.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <limits>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "kit.hpp"
#include "torva/fold.hpp"
#include "torva/tmscore.hpp"

namespace torva_kit {

namespace {

using Pairs = nb::ndarray<const std::int64_t, nb::shape<-1, 2>, nb::c_contig, nb::device::cpu>;

torva::TmScore tm_score(Coords fixed_coords, Coords mobile_coords, Pairs pairs) {
    const std::span<const torva::Point> fixed = points_of(fixed_coords);
    const std::span<const torva::Point> mobile = points_of(mobile_coords);
    std::vector<torva::AlignedPair> list(pairs.shape(0));
    const std::int64_t* p = pairs.data();
    for (std::size_t k = 0; k < list.size(); ++k) {
        const std::int64_t i = p[2 * k], j = p[2 * k + 1];
        // The core checks the chains' lengths; these are out of range of any chain.
        constexpr std::int64_t kMax = std::numeric_limits<std::uint32_t>::max();
        if (i < 0 || j < 0 || i > kMax || j > kMax)
            throw nb::value_error("TM-score failed: a pair's index is out of range");
        list[k] = torva::AlignedPair{static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j)};
    }
    return unwrap(torva::tm_score(fixed, mobile, list, signal_cancel()), "TM-score failed: ");
}

torva::FoldResult fold_align(Coords fixed_coords, const std::string& fixed_sequence, Coords mobile_coords,
                             const std::string& mobile_sequence) {
    const torva::Domain fixed = domain_of(points_of(fixed_coords), code_points(fixed_sequence));
    const torva::Domain mobile = domain_of(points_of(mobile_coords), code_points(mobile_sequence));
    return unwrap(torva::fold_align(fixed.residues, mobile.residues, signal_cancel()), "Fold alignment failed: ");
}

torva::FoldMultipleResult fold_align_domains(const std::vector<std::tuple<Coords, std::string>>& structures) {
    if (structures.size() < 2) throw nb::value_error("a multiple alignment needs at least 2 structures");
    std::vector<torva::Domain> domains;
    domains.reserve(structures.size());
    for (const auto& [coords, sequence] : structures)
        domains.push_back(domain_of(points_of(coords), code_points(sequence)));
    return unwrap(torva::fold_align_multiple(domains, signal_cancel()), "Multiple alignment failed: ");
}

}  // namespace

void bind_fold(nb::module_& m) {
    using T = torva::TmScore;
    nb::class_<T>(m, "TmScore", "The TM-score of one alignment, with the superpositions that maximise it.")
        .def_ro("tm_fixed", &T::tm_fixed, "normalised by the fixed chain's length")
        .def_ro("tm_mobile", &T::tm_mobile, "normalised by the mobile chain's length")
        .def_prop_ro("transform", [](const T& t) { return matrix_array(t.transform); },
                     "4x4 float64: mobile onto fixed, maximising tm_fixed")
        .def_prop_ro("transform_mobile", [](const T& t) { return matrix_array(t.transform_mobile); },
                     "4x4 float64: mobile onto fixed, maximising tm_mobile")
        .def_ro("rmsd", &T::rmsd, "least-squares RMSD over the pairs")
        .def_ro("n_aligned", &T::n_aligned);

    using F = torva::FoldResult;
    nb::class_<F>(m, "FoldAlignment", "The alignment of two chains that maximises TM-score.")
        .def_prop_ro("pairs", [](const F& f) { return pairs_array(f.pairs); }, "(n, 2) int64: (fixed, mobile) indices")
        .def_prop_ro(
            "distances", [](const F& f) { return owned_array(std::vector<double>(f.distances), {f.distances.size()}); },
            "(n,) float64: C-alpha distance of each pair after the superposition")
        .def_prop_ro("transform", [](const F& f) { return matrix_array(f.transform); },
                     "4x4 float64: maps the mobile chain onto the fixed one, maximising tm_fixed")
        .def(
            "as_lists",
            [](const F& f) {
                nb::list pairs, distances, matrix;
                for (const torva::AlignedPair& p : f.pairs) {
                    nb::list pair;
                    pair.append(p.i);
                    pair.append(p.j);
                    pairs.append(pair);
                }
                for (const double d : f.distances) distances.append(d);
                const std::vector<double> values = matrix_values(f.transform);
                for (std::size_t r = 0; r < 4; ++r) {
                    nb::list row;
                    for (std::size_t c = 0; c < 4; ++c) row.append(values[4 * r + c]);
                    matrix.append(row);
                }
                return nb::make_tuple(pairs, distances, matrix);
            },
            nb::sig("def as_lists(self) -> tuple[list[list[int]], list[float], list[list[float]]]"),
            "(pairs, distances, transform) as Python lists: what the arrays hold, without NumPy")
        .def_ro("rmsd", &F::rmsd)
        .def_ro("n_aligned", &F::n_aligned)
        .def_ro("seq_identity", &F::seq_identity)
        .def_ro("tm_fixed", &F::tm_fixed)
        .def_ro("tm_mobile", &F::tm_mobile);

    m.def("tm_score", &tm_score, nb::arg("fixed_coords"), nb::arg("mobile_coords"), nb::arg("pairs"),
          "TM-score of the alignment `pairs` ((n, 2) fixed, mobile indices, one-to-one), normalised by each "
          "chain's length, each under the superposition that maximises it.");
    m.def("fold_align", &fold_align, nb::arg("fixed_coords"), nb::arg("fixed_sequence"), nb::arg("mobile_coords"),
          nb::arg("mobile_sequence"),
          "Align the mobile chain onto the fixed one in fold mode: the alignment that maximises TM-score, "
          "the same (transposed) in either order.");
    using M = torva::FoldMultipleResult;
    nb::class_<M>(m, "FoldMultipleResult", "A multiple alignment built from fold-level pairwise alignments.")
        .def_prop_ro("columns", [](const M& r) { return columns_list(r.columns); },
                     "one list per column: the residue of each structure, None for a gap")
        .def_ro("core_positions", &M::core_positions, "the columns where every structure has a residue")
        .def_ro("reference", &M::reference, "the structure the others are superposed on")
        .def_prop_ro("transforms", [](const M& r) { return transforms_list(r.transforms); },
                     "4x4 float64 each: structure k onto the reference")
        .def_prop_ro("onto_first", [](const M& r) { return transforms_list(r.onto_first); },
                     "4x4 float64 each: structure k onto the first (identity for the first)")
        .def_prop_ro("tm", [](const M& r) { return owned_array(std::vector<double>(r.tm), {r.transforms.size(), r.transforms.size()}); },
                     "N x N float64: tm[i, j] the fold-level TM-score normalised by structure i");
    m.def("fold_align_domains", &fold_align_domains, nb::arg("structures"),
          "Align (coords, sequence) structures in fold mode.");
}

}  // namespace torva_kit
