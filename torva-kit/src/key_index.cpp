// KeyIndex: the words of a database's search keys indexed once, so that many
// queries find their prefilter candidates without comparing every key; and
// the clustering of a graph of aligned pairs (greedy set cover, components).
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "arrays.hpp"
#include "kit.hpp"
#include "torva/cluster_graph.hpp"
#include "torva/key_index.hpp"
#include "torva/search_key.hpp"

namespace torva_kit {

namespace {

using Bytes = nb::ndarray<const std::uint8_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Offsets64 = nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Offsets32 = nb::ndarray<const std::int32_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Ints = nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// (positions, scores) of one query, and what a search returns: those of every query and its work.
using Found = nb::typed<nb::tuple, Array<std::int64_t>, Array<float>>;
using Searched = nb::typed<nb::tuple, nb::typed<nb::list, Found>, Array<std::int64_t>>;
using Groups = nb::typed<nb::tuple, Array<std::int64_t>, Array<std::int64_t>, Array<std::int64_t>>;

struct Index {
    torva::KeyIndex index;
    bool fold = false;
    torva::KeyIndex::Scratch scratch;
};

torva::PrefilterOptions options_for(bool fold) {
    return fold ? torva::fold_prefilter_options() : torva::PrefilterOptions{};
}

template <class Offsets>
Index* build(const Bytes& data, const Offsets& offsets, bool fold) {
    const std::span<const std::uint8_t> bytes(data.data(), data.shape(0));
    const std::span<const std::remove_cv_t<typename Offsets::Scalar>> off(offsets.data(), offsets.shape(0));
    auto* out = new Index;
    out->fold = fold;
    auto built = torva::KeyIndex::build(bytes, off, options_for(fold), signal_cancel());
    if (!built.ok()) {
        delete out;
        raise_core_error(built.error(), "Prefilter failed: ");
    }
    out->index = std::move(built).value();
    return out;
}

torva::IndexSearchOptions search_options(std::size_t k, double min_score, std::size_t min_rescored, double factor) {
    torva::IndexSearchOptions o;
    o.k = k;
    o.min_score = min_score;
    o.min_rescored = min_rescored;
    o.rescore_factor = factor;
    return o;
}

// One query's candidates as (positions int64, scores float32), the statistics summed into `stats`.
Found candidates_tuple(const std::vector<torva::IndexCandidate>& found, const torva::IndexSearchStats& st,
                           std::vector<std::int64_t>& stats) {
    stats[0] += static_cast<std::int64_t>(st.postings);
    stats[1] += static_cast<std::int64_t>(st.touched);
    stats[2] += static_cast<std::int64_t>(st.rescored);
    std::vector<std::int64_t> pos;
    std::vector<float> score;
    for (const torva::IndexCandidate& c : found) {
        pos.push_back(static_cast<std::int64_t>(c.entry));
        score.push_back(static_cast<float>(c.score));
    }
    const std::size_t n = pos.size();
    return nb::borrow<Found>(nb::make_tuple(owned_array(std::move(pos), {n}), owned_array(std::move(score), {n})));
}

void check_cancel() {
    if (signal_cancel().requested()) raise_core_error(torva::Error::cancelled(), "");
}

std::vector<torva::ClusterEdge> edges_of(const Ints& reps, const Ints& members) {
    if (reps.shape(0) != members.shape(0)) {
        throw nb::value_error("representatives and members differ in length");
    }
    std::vector<torva::ClusterEdge> edges(reps.shape(0));
    for (std::size_t i = 0; i < edges.size(); ++i) {
        const std::int64_t r = reps.data()[i], m = members.data()[i];
        if (r < 0 || m < 0 || r > 0xFFFFFFFFLL || m > 0xFFFFFFFFLL) throw nb::value_error("a node index out of range");
        edges[i] = {static_cast<std::uint32_t>(r), static_cast<std::uint32_t>(m)};
    }
    return edges;
}

std::vector<std::uint32_t> ranks_of(const std::optional<Ints>& rank) {
    std::vector<std::uint32_t> out;
    if (!rank) return out;
    for (std::size_t i = 0; i < rank->shape(0); ++i) {
        const std::int64_t r = rank->data()[i];
        if (r < 0 || r > 0xFFFFFFFFLL) throw nb::value_error("a rank out of range");
        out.push_back(static_cast<std::uint32_t>(r));
    }
    return out;
}

template <auto Cluster>
Array<std::int64_t> cluster_with(std::size_t n, const Ints& reps, const Ints& members, const std::optional<Ints>& rank) {
    const auto edges = edges_of(reps, members);
    const auto ranks = ranks_of(rank);
    const auto rep = unwrap(Cluster(n, edges, ranks), "Clustering failed: ");
    return owned_array(std::vector<std::int64_t>(rep.begin(), rep.end()), {n});
}

}  // namespace

void bind_key_index(nb::module_& m) {
    nb::class_<Index>(m, "KeyIndex",
                      "The words of a column of search keys indexed for the prefilter: a query's candidates "
                      "are found by walking the entries that share its words, not by comparing every key.")
        .def("__init__", [](Index* self, const Bytes& d, const Offsets64& o, bool fold) {
                 std::unique_ptr<Index> built(build(d, o, fold));
                 new (self) Index(std::move(*built));
             },
             nb::arg("data"), nb::arg("offsets"), nb::kw_only(), nb::arg("fold") = false,
             "Index of keys stored back to back (as for prefilter_scores); fold: the fold level's window.")
        .def("__init__", [](Index* self, const Bytes& d, const Offsets32& o, bool fold) {
                 std::unique_ptr<Index> built(build(d, o, fold));
                 new (self) Index(std::move(*built));
             },
             nb::arg("data"), nb::arg("offsets"), nb::kw_only(), nb::arg("fold") = false)
        .def("__len__", [](const Index& ix) { return ix.index.size(); })
        .def_prop_ro("memory_bytes", [](const Index& ix) { return ix.index.memory_bytes(); })
        .def_prop_ro("fold", [](const Index& ix) { return ix.fold; })
        .def(
            "search",
            [](Index& ix, const std::vector<Coords>& queries, std::size_t k, double min_score, std::size_t min_rescored,
               double rescore_factor) {
                const auto o = search_options(k, min_score, min_rescored, rescore_factor);
                std::vector<std::int64_t> stats(3, 0);
                nb::typed<nb::list, Found> out;
                for (const Coords& c : queries) {
                    check_cancel();
                    torva::IndexSearchStats st;
                    const auto found = unwrap(ix.index.search_trace(points_of(c), o, ix.scratch, &st), "Prefilter failed: ");
                    out.append(candidates_tuple(found, st, stats));
                }
                return nb::borrow<Searched>(nb::make_tuple(out, owned_array(std::move(stats), {3})));
            },
            nb::arg("queries"), nb::kw_only(), nb::arg("k"), nb::arg("min_score") = -1.0,
            nb::arg("min_rescored") = 64, nb::arg("rescore_factor") = 2.0,
            "The k best entries by prefilter score of each query (a C-alpha trace): exactly those of "
            "prefilter_scores + top_candidates, as a list of (positions int64, scores float32), best first, "
            "and the work done (postings walked, entries touched, entries scored).")
        .def(
            "search_entries",
            [](Index& ix, const Ints& entries, std::size_t k, double min_score, std::size_t min_rescored,
               double rescore_factor) {
                const auto o = search_options(k, min_score, min_rescored, rescore_factor);
                std::vector<std::int64_t> stats(3, 0);
                nb::typed<nb::list, Found> out;
                for (std::size_t i = 0; i < entries.shape(0); ++i) {
                    check_cancel();
                    const std::int64_t e = entries.data()[i];
                    if (e < 0 || static_cast<std::size_t>(e) >= ix.index.size()) {
                        throw nb::index_error("entry out of range");
                    }
                    const auto entry = static_cast<std::size_t>(e);
                    const auto q = unwrap(torva::PrefilterQuery::from_key(ix.index.key(entry), options_for(ix.fold)),
                                          "Prefilter failed: ");
                    torva::IndexSearchStats st;
                    const auto found =
                        unwrap(ix.index.search(q, ix.index.letters(entry), o, ix.scratch, &st), "Prefilter failed: ");
                    out.append(candidates_tuple(found, st, stats));
                }
                return nb::borrow<Searched>(nb::make_tuple(out, owned_array(std::move(stats), {3})));
            },
            nb::arg("entries"), nb::kw_only(), nb::arg("k"), nb::arg("min_score") = -1.0,
            nb::arg("min_rescored") = 64, nb::arg("rescore_factor") = 2.0,
            "As search, each query being an entry of the index given by its position (its key's query: "
            "the candidates are exactly the exhaustive prefilter's).")
        .def(
            "word_groups",
            [](const Index& ix, const Ints& rank, std::size_t words, std::uint64_t seed) {
                std::vector<std::uint32_t> ranks(rank.shape(0));
                for (std::size_t i = 0; i < ranks.size(); ++i) {
                    const std::int64_t r = rank.data()[i];
                    if (r < 0 || r > 0xFFFFFFFFLL) throw nb::value_error("a rank out of range");
                    ranks[i] = static_cast<std::uint32_t>(r);
                }
                const auto got = unwrap(ix.index.word_groups(ranks, words, seed), "Grouping failed: ");
                std::vector<std::int64_t> centres, members, shared;
                for (const auto& [edge, count] : got) {
                    centres.push_back(edge.representative);
                    members.push_back(edge.member);
                    shared.push_back(count);
                }
                const std::size_t n = centres.size();
                return nb::borrow<Groups>(nb::make_tuple(owned_array(std::move(centres), {n}),
                                                         owned_array(std::move(members), {n}),
                                                         owned_array(std::move(shared), {n})));
            },
            nb::arg("rank"), nb::kw_only(), nb::arg("words"), nb::arg("seed") = 0,
            "Groups of entries by shared words in linear time: each entry's `words` words of lowest hash, "
            "each group's centre its entry of lowest rank; (centres, members, groups shared) int64, one row "
            "per pair, by member then centre.");
    m.def("greedy_set_cover", &cluster_with<&torva::greedy_set_cover>, nb::arg("n"), nb::arg("representatives"),
          nb::arg("members"), nb::arg("rank") = nb::none(),
          "Greedy set cover of n nodes over directed edges (representative may represent member): the "
          "representative (int64) of every node; equal set sizes go to the lower rank, then index.");
    m.def("connected_components", &cluster_with<&torva::connected_components>, nb::arg("n"),
          nb::arg("representatives"), nb::arg("members"), nb::arg("rank") = nb::none(),
          "Connected components of the edges taken both ways: the representative (int64) of every node, "
          "the component's node with the most neighbours (ties by rank, then index).");
}

}  // namespace torva_kit
