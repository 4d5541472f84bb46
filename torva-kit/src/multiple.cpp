// align_domains: the multiple alignment of structures in any frames (pre-alignment
// in scan mode, then the tree-wise alignment), as align_pdbs runs it for files.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "kit.hpp"
#include "torva/align_pdbs.hpp"
#include "torva/multiple_distances.hpp"

namespace torva_kit {

namespace {

torva::PreAlignedMultiple align_domains(const std::vector<std::tuple<Coords, std::string>>& structures,
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
    return std::move(aligned).value();
}

// The distances of a multiple alignment whose structures lie in one frame.
std::tuple<Array<double>, Array<double>> multiple_distances(const std::vector<Coords>& placed,
                                                      const std::vector<std::vector<std::optional<std::int64_t>>>& columns,
                                                      const std::vector<std::int64_t>& core) {
    std::vector<torva::PointSet> points;
    points.reserve(placed.size());
    for (const Coords& c : placed) {
        const auto span = points_of(c);
        points.emplace_back(span.begin(), span.end());
    }
    // Indices beyond what a column holds are refused here; the core checks the rest.
    constexpr std::int64_t kMax = std::numeric_limits<std::uint32_t>::max();
    std::vector<torva::Column> cols;
    cols.reserve(columns.size());
    for (const auto& column : columns) {
        torva::Column c;
        c.reserve(column.size());
        for (const auto& entry : column) {
            if (entry && (*entry < 0 || *entry > kMax))
                throw nb::value_error("Multiple alignment failed: a column's residue index is out of range");
            c.push_back(entry ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(*entry)) : std::nullopt);
        }
        cols.push_back(std::move(c));
    }
    std::vector<std::size_t> core_columns;
    core_columns.reserve(core.size());
    for (const std::int64_t c : core) {
        if (c < 0) throw nb::value_error("Multiple alignment failed: a core column index is negative");
        core_columns.push_back(static_cast<std::size_t>(c));
    }
    torva::MultipleDistances d =
        unwrap(torva::multiple_distances(points, cols, core_columns), "Multiple alignment failed: ");
    const std::size_t n = d.n, width = d.columns;
    return {owned_array(std::move(d.core_rmsd), {n, n}), owned_array(std::move(d.column_deviation), {width, n})};
}

}  // namespace

void bind_multiple(nb::module_& m) {
    using R = torva::PreAlignedMultiple;
    nb::class_<R>(m, "MultipleResult", "A multiple alignment of structures in any frames, in the first one's frame.")
        .def_prop_ro("transforms", [](const R& r) { return transforms_list(r.result.transforms); },
                     "4x4 float64 each: structure k, pre-aligned, onto the common frame")
        .def_prop_ro("pre_transforms", [](const R& r) { return transforms_list(r.result.pre_transforms); },
                     "4x4 float64 each: the scan-mode pre-alignment of structure k onto the first")
        .def_prop_ro("full_transforms", [](const R& r) { return transforms_list(r.result.full_transforms()); },
                     "4x4 float64 each: structure k from its own frame onto the common frame")
        .def_prop_ro("columns", [](const R& r) { return columns_list(r.result.columns); },
                     "one list per column: the residue of each structure, None for a gap")
        .def_prop_ro("core_positions", [](const R& r) { return r.result.core_positions; },
                     "the columns where every structure has a residue")
        .def_prop_ro("score", [](const R& r) { return r.result.score; })
        .def_prop_ro("avg_rmsd", [](const R& r) { return r.result.avg_rmsd; },
                     "mean RMSD of the all-against-all pairwise alignments")
        .def_prop_ro("unplaced", [](const R& r) { return r.unplaced; },
                     "the structures the pre-alignment found nothing for (left in their own frames)");
    m.def("align_domains", &align_domains, nb::arg("structures"), nb::arg("settings"), nb::kw_only(),
          nb::arg("progress") = nb::none(),
          "Align (coords, sequence) structures in any frames: each but the first is pre-aligned onto the first "
          "in scan mode, then all are aligned along the guide tree. progress(k, n) follows the pre-alignment of "
          "structure k.");
    m.def("multiple_distances", &multiple_distances, nb::arg("placed"), nb::arg("columns"), nb::arg("core"),
          "Distances within a multiple alignment whose structures already lie in one frame (placed[k]: (N_k, 3) "
          "coordinates; columns[c][k]: residue of structure k or None; core: the gapless columns). Returns "
          "(core_rmsd, column_deviation): the (n, n) RMSD between every two structures over the core columns "
          "(NaN off the diagonal without a core column) and the (columns, n) distance of each residue to its "
          "column's mean position (NaN for gaps and columns of fewer than two residues). No fitting.");
}

}  // namespace torva_kit
