// The helpers of arrays.hpp.
#include "arrays.hpp"

#include "torva/text.hpp"

namespace torva_kit {

std::u32string code_points(std::string_view utf8) {
    std::u32string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) out.push_back(torva::decode_at(utf8, i));
    return out;
}

torva::Domain domain_of(std::span<const torva::Point> coords, std::u32string_view sequence, std::string id) {
    auto d = torva::Domain::from_arrays(std::move(id), coords, sequence);
    if (!d.ok()) throw nb::value_error(std::string(d.error().detail()).c_str());
    return std::move(d).value();
}

std::vector<double> matrix_values(const torva::Transform& t) {
    const torva::Matrix4 m = t.transformation_matrix();
    std::vector<double> out;
    out.reserve(16);
    for (std::size_t r = 0; r < 4; ++r)
        for (std::size_t c = 0; c < 4; ++c) out.push_back(m[r][c]);
    return out;
}

Array<double> matrix_array(const torva::Transform& t) {
    return owned_array(matrix_values(t), {4, 4});
}

torva::Transform transform_of(std::span<const double> m) {
    torva::Transform t;
    for (std::size_t r = 0; r < 3; ++r) {
        for (std::size_t c = 0; c < 3; ++c) t.rotation[r][c] = m[4 * r + c];
        t.translation[r] = m[4 * r + 3];
    }
    return t;
}

Array<std::int64_t> pairs_array(const std::vector<torva::AlignedPair>& pairs) {
    std::vector<std::int64_t> flat;
    flat.reserve(2 * pairs.size());
    for (const torva::AlignedPair& p : pairs) {
        flat.push_back(p.i);
        flat.push_back(p.j);
    }
    return owned_array(std::move(flat), {pairs.size(), 2});
}

nb::typed<nb::list, Array<double>> transforms_list(const std::vector<torva::Transform>& transforms) {
    nb::typed<nb::list, Array<double>> out;
    for (const torva::Transform& t : transforms) out.append(matrix_array(t));
    return out;
}

nb::typed<nb::list, nb::typed<nb::list, std::optional<std::int64_t>>> columns_list(
    const std::vector<torva::Column>& columns) {
    nb::typed<nb::list, nb::typed<nb::list, std::optional<std::int64_t>>> out;
    for (const torva::Column& col : columns) {
        nb::list c;
        for (const auto& entry : col) c.append(entry ? nb::cast(*entry) : nb::none());
        out.append(c);
    }
    return out;
}

torva::Cancel signal_cancel() {
    return torva::Cancel([] { return PyErr_CheckSignals() != 0; });
}

void raise_core_error(const torva::Error& error, std::string_view prefix) {
    if (error.kind == torva::ErrorKind::Cancelled && PyErr_Occurred() != nullptr) throw nb::python_error();
    std::string message(prefix);
    message += error.message;
    throw nb::value_error(message.c_str());
}

}  // namespace torva_kit
