// scan_targets, select_hits and their Hit: the database scan on targets given as
// arrays, and the core's own ranking for merging the hits of several scans.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "kit.hpp"
#include "torva/database_scan.hpp"
#include "torva/fold_scan.hpp"
#include "torva/structure_pair.hpp"
#include "torva/tmscore.hpp"

namespace torva_kit {

namespace {

// One hit of a scan: the core's record, the target's position in the whole
// search, the TM-scores of its alignment (normalised by the query and by the
// target) and (when asked for) the pairs' distances.
struct Hit {
    torva::ScanHitRecord record;
    std::int64_t position = 0;
    double tm_query = 0.0;
    double tm_target = 0.0;
    bool has_pairs = false;
    std::vector<double> distances;
};

using HitState = std::tuple<std::int64_t, std::size_t, double, double, std::size_t, double, std::optional<double>,
                            nb::bytes, bool, nb::bytes, nb::bytes, nb::bytes, double, double>;

template <class T>
nb::bytes bytes_of(const std::vector<T>& v) {
    return nb::bytes(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(T));
}

template <class T>
std::vector<T> vector_of(const nb::bytes& b) {
    std::vector<T> out(b.size() / sizeof(T));
    if (!out.empty()) std::memcpy(out.data(), b.c_str(), out.size() * sizeof(T));
    return out;
}

HitState state_of(const Hit& h) {
    const torva::ScanHitRecord& r = h.record;
    return {h.position, r.rank,    r.score,      r.rmsd,
            r.n_aligned, r.seq_identity, r.z_score, bytes_of(matrix_values(r.transform)),
            h.has_pairs, bytes_of(r.aligned_pairs), bytes_of(h.distances), bytes_of(r.core_pairs),
            h.tm_query,  h.tm_target};
}

Hit from_state(const HitState& s) {
    Hit h;
    torva::ScanHitRecord& r = h.record;
    h.position = std::get<0>(s);
    r.rank = std::get<1>(s);
    r.score = std::get<2>(s);
    r.rmsd = std::get<3>(s);
    r.n_aligned = std::get<4>(s);
    r.seq_identity = std::get<5>(s);
    r.z_score = std::get<6>(s);
    const std::vector<double> m = vector_of<double>(std::get<7>(s));
    if (m.size() != 16) throw nb::value_error("a Hit's state holds a 4x4 transform");
    r.transform = transform_of(m);
    h.has_pairs = std::get<8>(s);
    r.aligned_pairs = vector_of<torva::AlignedPair>(std::get<9>(s));
    h.distances = vector_of<double>(std::get<10>(s));
    r.core_pairs = vector_of<std::uint8_t>(std::get<11>(s));
    h.tm_query = std::get<12>(s);
    h.tm_target = std::get<13>(s);
    if (h.distances.size() != r.aligned_pairs.size() || r.core_pairs.size() != r.aligned_pairs.size())
        throw nb::value_error("a Hit's pairs, distances and core flags differ in number");
    return h;
}

std::vector<Hit> scan_targets(Coords query_coords, const std::string& query_sequence, Coords coords,
                              nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu> offsets,
                              const std::string& sequences, std::int64_t first_position,
                              const torva::Parameters& settings, double score_cutoff, std::size_t max_hits,
                              bool quick, bool scan_mode, bool pairs, bool fold) {
    const torva::Domain query = domain_of(points_of(query_coords), code_points(query_sequence));
    const std::span<const torva::Point> all = points_of(coords);
    const std::u32string residues = code_points(sequences);
    const std::size_t n = offsets.shape(0) == 0 ? 0 : offsets.shape(0) - 1;
    const std::int64_t* off = offsets.data();
    if (residues.size() != all.size()) throw nb::value_error("sequences and coordinates differ in length");
    std::vector<torva::Domain> targets;
    targets.reserve(n);
    for (std::size_t k = 0; k < n; ++k) {
        const std::int64_t lo = off[k];
        const std::int64_t hi = off[k + 1];
        if (lo < 0 || hi < lo || static_cast<std::size_t>(hi) > all.size())
            throw nb::value_error("offsets must rise from 0 to the number of residues");
        const auto from = static_cast<std::size_t>(lo);
        const auto count = static_cast<std::size_t>(hi - lo);
        targets.push_back(domain_of(all.subspan(from, count), std::u32string_view(residues).substr(from, count)));
    }

    torva::DatabaseScanOptions options;
    options.score_cutoff = score_cutoff;
    options.max_hits = max_hits;
    options.quick = quick;
    options.scan_mode = scan_mode;
    std::vector<Hit> out;
    if (fold) {
        std::vector<torva::FoldScanHit> found =
            unwrap(torva::fold_scan_database(query, targets, options, signal_cancel()), "Scan failed: ");
        out.resize(found.size());
        for (std::size_t k = 0; k < found.size(); ++k) {
            Hit& h = out[k];
            h.record = std::move(found[k].record);
            h.tm_query = h.record.score;
            h.tm_target = found[k].tm_target;
            h.distances = std::move(found[k].distances);
        }
    } else {
        std::vector<torva::ScanHitRecord> records =
            unwrap(torva::scan_database(query, targets, settings, options, signal_cancel()), "Scan failed: ");
        out.resize(records.size());
        for (std::size_t k = 0; k < records.size(); ++k) {
            Hit& h = out[k];
            h.record = std::move(records[k]);
            const std::size_t t = h.record.target_index;
            const auto from = static_cast<std::size_t>(off[t]);
            const auto count = static_cast<std::size_t>(off[t + 1] - off[t]);
            // The TM-scores of the scan's own alignment.
            const torva::TmScore tm = unwrap(torva::tm_score(points_of(query_coords), all.subspan(from, count),
                                                             h.record.aligned_pairs, signal_cancel()),
                                             "Scan failed: ");
            h.tm_query = tm.tm_fixed;
            h.tm_target = tm.tm_mobile;
            if (pairs)
                h.distances = torva::pair_distances(h.record.aligned_pairs, query.residues, targets[t].residues,
                                                    h.record.transform);
        }
    }
    for (Hit& h : out) {
        h.position = first_position + static_cast<std::int64_t>(h.record.target_index);
        h.has_pairs = pairs;
        if (!pairs) {
            h.record.aligned_pairs = {};
            h.record.core_pairs = {};
            h.distances = {};
        }
    }
    return out;
}

std::vector<Hit> select_hits(const std::vector<const Hit*>& hits, double score_cutoff, std::size_t max_hits) {
    std::vector<const Hit*> order(hits);
    std::stable_sort(order.begin(), order.end(), [](const Hit* a, const Hit* b) { return a->position < b->position; });
    std::vector<torva::ScanHitRecord> candidates;
    candidates.reserve(order.size());
    for (std::size_t k = 0; k < order.size(); ++k) {
        candidates.push_back(order[k]->record);
        candidates.back().target_index = k;  // back to the hit it came from
    }
    torva::DatabaseScanOptions options;
    options.score_cutoff = score_cutoff;
    options.max_hits = max_hits;
    std::vector<torva::ScanHitRecord> ranked = torva::select_scan_hits(std::move(candidates), options);
    std::vector<Hit> out(ranked.size());
    for (std::size_t k = 0; k < ranked.size(); ++k) {
        const Hit& from = *order[ranked[k].target_index];
        out[k].record = std::move(ranked[k]);
        out[k].position = from.position;
        out[k].tm_query = from.tm_query;
        out[k].tm_target = from.tm_target;
        out[k].has_pairs = from.has_pairs;
        out[k].distances = from.distances;
    }
    return out;
}

template <class T>
std::optional<Array<T>> optional_array(const Hit& h, Array<T> array) {
    if (!h.has_pairs) return std::nullopt;
    return array;
}

}  // namespace

void bind_scan(nb::module_& m) {
    nb::class_<Hit>(m, "Hit", "One hit of a database scan, with the alignment behind it.")
        .def_rw("position", &Hit::position, "the target's position in the whole search")
        .def_prop_ro("rank", [](const Hit& h) { return h.record.rank; })
        .def_prop_ro("score", [](const Hit& h) { return h.record.score; })
        .def_prop_ro("rmsd", [](const Hit& h) { return h.record.rmsd; })
        .def_prop_ro("n_aligned", [](const Hit& h) { return h.record.n_aligned; })
        .def_prop_ro("seq_identity", [](const Hit& h) { return h.record.seq_identity; })
        .def_prop_ro("z_score", [](const Hit& h) { return h.record.z_score; })
        .def_ro("tm_query", &Hit::tm_query, "TM-score of the hit's alignment normalised by the query's length")
        .def_ro("tm_target", &Hit::tm_target, "TM-score of the hit's alignment normalised by the target's length")
        .def_prop_ro("transform", [](const Hit& h) { return matrix_array(h.record.transform); },
                     "4x4 float64: maps the target onto the query")
        .def_prop_ro(
            "pairs", [](const Hit& h) { return optional_array(h, pairs_array(h.record.aligned_pairs)); },
            "(n, 2) int64 (query, target) indices, or None when the scan was not asked for them")
        .def_prop_ro(
            "distances",
            [](const Hit& h) {
                const std::size_t n = h.distances.size();
                return optional_array(h, owned_array(std::vector<double>(h.distances), {n}));
            },
            "(n,) float64 distance of each pair after the superposition, or None")
        .def_prop_ro(
            "core_pairs",
            [](const Hit& h) {
                const std::size_t n = h.record.core_pairs.size();
                return optional_array(h, owned_array(std::vector<std::uint8_t>(h.record.core_pairs), {n}));
            },
            "(n,) uint8: 1 for the pairs the identity is taken over, or None")
        .def("__getstate__", &state_of)
        .def("__setstate__", [](Hit* self, const HitState& s) { new (self) Hit(from_state(s)); })
        .def("__repr__", [](const Hit& h) {
            return "Hit(position=" + std::to_string(h.position) + ", rank=" + std::to_string(h.record.rank) +
                   ", score=" + nb::cast<std::string>(nb::repr(nb::float_(h.record.score))) + ")";
        });

    m.def("scan_targets", &scan_targets, nb::arg("query_coords"), nb::arg("query_sequence"), nb::arg("coords"),
          nb::arg("offsets"), nb::arg("sequences"), nb::arg("first_position"), nb::arg("settings"), nb::kw_only(),
          nb::arg("score_cutoff"), nb::arg("max_hits"), nb::arg("quick"), nb::arg("scan_mode"),
          nb::arg("pairs") = false, nb::arg("fold") = false,
          "Scan the query against targets given as arrays: all their coordinates (M, 3), the offsets (n + 1) "
          "of each target's residues, and their sequences joined. Returns the best max_hits as "
          "dovel.scan_database ranks them; each hit's position is first_position plus the target's index. With fold, every target is aligned in "
          "fold mode and the hits are ranked by the TM-score normalised by the query (their score).");
    m.def(
        "select_hits",
        [](const std::vector<const Hit*>& hits, double score_cutoff, std::size_t max_hits) {
            return select_hits(hits, score_cutoff, max_hits);
        },
        nb::arg("hits"), nb::kw_only(), nb::arg("score_cutoff"), nb::arg("max_hits"),
        "The hits of several scans ranked as one: in position order, the scan's own selection, ranks and "
        "Z-scores.");
}

}  // namespace torva_kit
