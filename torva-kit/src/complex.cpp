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

nb::dict complex_align(const Chains& fixed_chains, const Chains& mobile_chains,
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
    const torva::ComplexResult r =
        unwrap(torva::complex_align(fs, ms, pairing, signal_cancel()), "Complex alignment failed: ");

    std::vector<std::int64_t> flat;
    flat.reserve(4 * r.pairs.size());
    for (const torva::ComplexPair& p : r.pairs) {
        flat.push_back(p.fixed_chain);
        flat.push_back(p.fixed_index);
        flat.push_back(p.mobile_chain);
        flat.push_back(p.mobile_index);
    }
    nb::list chains;
    for (const torva::ComplexChainPair& c : r.chains)
        chains.append(nb::make_tuple(c.fixed, c.mobile, c.n_aligned, c.tm_fixed, c.tm_mobile));
    nb::dict out;
    out["pairs"] = owned_array(std::move(flat), {r.pairs.size(), 4});
    out["distances"] = owned_array(std::vector<double>(r.distances), {r.distances.size()});
    out["transform"] = matrix_array(r.transform);
    out["rmsd"] = r.rmsd;
    out["tm_fixed"] = r.tm_fixed;
    out["tm_mobile"] = r.tm_mobile;
    out["length_fixed"] = r.length_fixed;
    out["length_mobile"] = r.length_mobile;
    out["chains"] = chains;
    out["unmatched_fixed"] = nb::cast(r.unmatched_fixed);
    out["unmatched_mobile"] = nb::cast(r.unmatched_mobile);
    return out;
}

}  // namespace

void bind_complex(nb::module_& m) {
    m.def("complex_align", &complex_align, nb::arg("fixed"), nb::arg("mobile"), nb::arg("given") = nb::list(),
          "Align two assemblies, each a list of (coords, sequence) chains, as one body. `given` fixes "
          "(fixed chain, mobile chain) pairings by index. Returns a dict: pairs ((n, 4) int64: fixed chain, "
          "fixed index, mobile chain, mobile index), distances, transform (4x4, mobile onto fixed), rmsd, "
          "tm_fixed, tm_mobile, length_fixed, length_mobile, chains (fixed, mobile, n_aligned, tm_fixed, "
          "tm_mobile per mapped chain pair), unmatched_fixed, unmatched_mobile.");
}

}  // namespace torva_kit
