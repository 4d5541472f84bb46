// complex_align: two assemblies of chains aligned as one body, with their chain map.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "arrays.hpp"
#include "kit.hpp"
#include "torva/complex.hpp"

namespace torva_kit {

namespace {

using Chains = std::vector<std::tuple<Coords, std::string>>;

std::vector<torva::Domain> domains_of(const Chains& chains) {
    std::vector<torva::Domain> out;
    out.reserve(chains.size());
    for (const auto& [coords, sequence] : chains) out.push_back(domain_of(points_of(coords), code_points(sequence)));
    return out;
}

torva::ComplexResult complex_align(const Chains& fixed_chains, const Chains& mobile_chains,
                       const std::vector<std::tuple<std::int64_t, std::int64_t>>& given) {
    const std::vector<torva::Domain> fixed = domains_of(fixed_chains);
    const std::vector<torva::Domain> mobile = domains_of(mobile_chains);
    std::vector<torva::ChainPairing> pairing;
    for (const auto& [f, m] : given) {
        if (f < 0 || m < 0) throw nb::value_error("Complex alignment failed: a chain pairing's index is negative");
        pairing.push_back({static_cast<std::size_t>(f), static_cast<std::size_t>(m)});
    }
    std::vector<std::span<const torva::Residue>> fs, ms;
    for (const torva::Domain& d : fixed) fs.emplace_back(d.residues);
    for (const torva::Domain& d : mobile) ms.emplace_back(d.residues);
    torva::ComplexResult r =
        unwrap(torva::complex_align(fs, ms, pairing, signal_cancel()), "Complex alignment failed: ");

    return r;
}

}  // namespace

void bind_complex(nb::module_& m) {
    using R = torva::ComplexResult;
    nb::class_<R>(m, "ComplexResult", "Two assemblies aligned as one body: the chain map, the residue pairs and one superposition.")
        .def_prop_ro("pairs", [](const R& r) {
            std::vector<std::int64_t> flat;
            flat.reserve(4 * r.pairs.size());
            for (const torva::ComplexPair& p : r.pairs) {
                flat.insert(flat.end(), {p.fixed_chain, p.fixed_index, p.mobile_chain, p.mobile_index});
            }
            return owned_array(std::move(flat), {r.pairs.size(), 4});
        }, "(n, 4) int64: fixed chain, fixed index, mobile chain, mobile index of each aligned pair")
        .def_prop_ro("distances", [](const R& r) {
            return owned_array(std::vector<double>(r.distances), {r.distances.size()});
        }, "distance of each pair after the superposition")
        .def_prop_ro("transform", [](const R& r) { return matrix_array(r.transform); }, "4x4: the mobile assembly onto the fixed one")
        .def_ro("rmsd", &R::rmsd)
        .def_ro("tm_fixed", &R::tm_fixed, "complex TM-score normalised by the fixed assembly's total length")
        .def_ro("tm_mobile", &R::tm_mobile, "complex TM-score normalised by the mobile assembly's total length")
        .def_ro("length_fixed", &R::length_fixed)
        .def_ro("length_mobile", &R::length_mobile)
        .def_prop_ro("chains", [](const R& r) {
            std::vector<std::tuple<std::size_t, std::size_t, std::size_t, double, double>> out;
            for (const torva::ComplexChainPair& c : r.chains) out.emplace_back(c.fixed, c.mobile, c.n_aligned, c.tm_fixed, c.tm_mobile);
            return out;
        }, "(fixed, mobile, n_aligned, tm_fixed, tm_mobile) of each mapped chain pair, by fixed chain")
        .def_ro("unmatched_fixed", &R::unmatched_fixed)
        .def_ro("unmatched_mobile", &R::unmatched_mobile);
    m.def("complex_align", &complex_align, nb::arg("fixed"), nb::arg("mobile"), nb::arg("given") = nb::list(),
          "Align two assemblies, each a list of (coords, sequence) chains, as one body. `given` fixes "
          "(fixed chain, mobile chain) pairings by index.");
}

}  // namespace torva_kit
