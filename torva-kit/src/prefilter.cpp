// search_key, prefilter_scores and top_candidates: the keys a database stores
// for its entries and the comparison that picks which entries a search aligns.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <span>
#include <vector>

#include "arrays.hpp"
#include "kit.hpp"
#include "torva/search_key.hpp"

namespace torva_kit {

namespace {

using Bytes = nb::ndarray<const std::uint8_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Offsets64 = nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Offsets32 = nb::ndarray<const std::int32_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Scores = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

template <class Offsets>
Array<float> scores_of(const std::vector<Coords>& queries, const Bytes& data, const Offsets& offsets, bool fold) {
    const std::span<const std::uint8_t> bytes(data.data(), data.shape(0));
    const std::span<const std::remove_cv_t<typename Offsets::Scalar>> off(offsets.data(), offsets.shape(0));
    const std::size_t n = off.empty() ? 0 : off.size() - 1;
    std::vector<float> out(queries.size() * n);
    for (std::size_t q = 0; q < queries.size(); ++q) {
        const torva::PrefilterQuery query = torva::PrefilterQuery::from_points(
            points_of(queries[q]), fold ? torva::fold_prefilter_options() : torva::PrefilterOptions{});
        const std::vector<double> s =
            unwrap(torva::prefilter_scores(query, bytes, off, signal_cancel()), "Prefilter failed: ");
        for (std::size_t k = 0; k < n; ++k) out[q * n + k] = static_cast<float>(s[k]);
    }
    return owned_array(std::move(out), {queries.size(), n});
}

template <class Offsets>
Array<std::int64_t> lengths_of(const Bytes& data, const Offsets& offsets) {
    const std::span<const std::uint8_t> bytes(data.data(), data.shape(0));
    const std::span<const std::remove_cv_t<typename Offsets::Scalar>> off(offsets.data(), offsets.shape(0));
    const std::vector<std::size_t> counts = unwrap(torva::key_residue_counts(bytes, off), "Prefilter failed: ");
    const std::size_t n = counts.size();
    return owned_array(std::vector<std::int64_t>(counts.begin(), counts.end()), {n});
}

}  // namespace

void bind_prefilter(nb::module_& m) {
    m.def(
        "search_key",
        [](Coords coords) {
            const std::vector<std::uint8_t> key = torva::search_key(points_of(coords));
            return nb::bytes(reinterpret_cast<const char*>(key.data()), key.size());
        },
        nb::arg("coords"), "The search key of a C-alpha trace (N, 3): the bytes a database stores per entry.");
    m.def("prefilter_scores", &scores_of<Offsets64>, nb::arg("queries"), nb::arg("data"), nb::arg("offsets"),
          nb::kw_only(), nb::arg("fold") = false,
          "Prefilter scores (float32, one row per query) of queries given by their C-alpha traces against "
          "keys stored back to back: data (uint8) and offsets (n + 1, Arrow layout: key i is "
          "data[offsets[i] - offsets[0]:offsets[i + 1] - offsets[0]]). With fold, every target is compared "
          "whole whatever its length (the fold level's window); otherwise the scan's length window applies. "
          "ValueError naming the entry for a malformed key.");
    m.def("prefilter_scores", &scores_of<Offsets32>, nb::arg("queries"), nb::arg("data"), nb::arg("offsets"),
          nb::kw_only(), nb::arg("fold") = false);
    m.def("key_lengths", &lengths_of<Offsets64>, nb::arg("data"), nb::arg("offsets"),
          "The residue count (int64) each key of a column records (laid out as for prefilter_scores); "
          "ValueError naming the entry for a malformed key.");
    m.def("key_lengths", &lengths_of<Offsets32>, nb::arg("data"), nb::arg("offsets"));
    m.def(
        "top_candidates",
        [](Scores scores, std::size_t k, double min_score) {
            const std::vector<std::size_t> top =
                torva::top_candidates(std::span<const double>(scores.data(), scores.shape(0)), k, min_score);
            std::vector<std::int64_t> out(top.begin(), top.end());
            const std::size_t n = out.size();
            return owned_array(std::move(out), {n});
        },
        nb::arg("scores"), nb::arg("k"), nb::arg("min_score") = -1.0,
        "Indices (int64) of the k best scores, best first; equal scores keep index order, scores below "
        "min_score are never selected.");
}

}  // namespace torva_kit
