// align_domains: the multiple alignment of structures in any frames (pre-alignment
// in scan mode, then the tree-wise alignment), as align_pdbs runs it for files.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "kit.hpp"
#include "torva/align_pdbs.hpp"

namespace torva_kit {

namespace {

nb::list transforms_list(const std::vector<torva::Transform>& ts) {
    nb::list out;
    for (const torva::Transform& t : ts) out.append(matrix_array(t));
    return out;
}

nb::dict align_domains(const std::vector<std::tuple<Coords, std::string>>& structures,
                       const torva::Parameters& settings, nb::object progress) {
    if (structures.size() < 2) throw nb::value_error("a multiple alignment needs at least 2 structures");
    std::vector<torva::Domain> domains;
    domains.reserve(structures.size());
    for (const auto& [coords, sequence] : structures) domains.push_back(domain_of(points_of(coords), code_points(sequence)));
    const std::size_t total = domains.size();

    // A failing progress callback ends the work at the next safe point with its exception.
    bool failed = false;
    const torva::Cancel cancel([&failed] { return failed || PyErr_CheckSignals() != 0; });
    const auto pre_aligned = [&](std::size_t k) {
        if (progress.is_none() || failed) return;
        if (PyObject* r = PyObject_CallFunction(progress.ptr(), "nn", static_cast<Py_ssize_t>(k),
                                                static_cast<Py_ssize_t>(total))) {
            Py_DECREF(r);
        } else {
            failed = true;
        }
    };
    auto aligned = torva::align_domains(std::move(domains), settings, 0, cancel, pre_aligned);
    if (!aligned.ok()) {
        const torva::AlignDomainsError& e = aligned.error();
        raise_core_error(e.error, e.pre_alignment ? "Scan alignment failed: " : "Multiple alignment failed: ");
    }
    torva::PreAlignedMultiple r = std::move(aligned).value();
    const torva::MultipleAlignmentResult& res = r.result;

    nb::list columns;
    for (const torva::Column& col : res.columns) {
        nb::list c;
        for (const auto& entry : col) c.append(entry ? nb::cast(*entry) : nb::none());
        columns.append(c);
    }
    nb::dict out;
    out["transforms"] = transforms_list(res.transforms);
    out["pre_transforms"] = transforms_list(res.pre_transforms);
    out["full_transforms"] = transforms_list(res.full_transforms());
    out["columns"] = columns;
    out["core_positions"] = nb::cast(res.core_positions);
    out["score"] = res.score;
    out["avg_rmsd"] = res.avg_rmsd;
    out["unplaced"] = nb::cast(r.unplaced);
    return out;
}

}  // namespace

void bind_multiple(nb::module_& m) {
    m.def("align_domains", &align_domains, nb::arg("structures"), nb::arg("settings"), nb::kw_only(),
          nb::arg("progress") = nb::none(),
          "Align (coords, sequence) structures in any frames: each but the first is pre-aligned onto the first "
          "in scan mode, then all are aligned along the guide tree. progress(k, n) follows the pre-alignment of "
          "structure k. Returns a dict: transforms, pre_transforms, full_transforms (4x4 arrays), columns, "
          "core_positions, score, avg_rmsd, unplaced.");
}

}  // namespace torva_kit
