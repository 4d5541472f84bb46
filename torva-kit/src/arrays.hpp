// What the kit's bindings share: NumPy arrays in and out, domains from arrays,
// core errors as Python exceptions.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "torva/alignment.hpp"
#include "torva/cancel.hpp"
#include "torva/error.hpp"
#include "torva/io.hpp"
#include "torva/math.hpp"
#include "torva/treewise.hpp"

namespace torva_kit {

namespace nb = nanobind;

// An (N, 3) float64 array as the core's points (nanobind converts other dtypes and layouts).
using CoordsArray = nb::ndarray<const double, nb::shape<-1, 3>, nb::c_contig, nb::device::cpu>;

// The same as a parameter: converted by the array's own caster, but shown in the type stub as
// what it accepts (anything array-like: an array, a buffer such as a memoryview, nested lists).
struct Coords : CoordsArray {
    Coords() = default;
    Coords(CoordsArray a) : CoordsArray(std::move(a)) {}
};

inline std::span<const torva::Point> points_of(const Coords& a) {
    static_assert(sizeof(torva::Point) == 3 * sizeof(double));
    return {reinterpret_cast<const torva::Point*>(a.data()), a.shape(0)};
}

// A read-only NumPy array of T, as a Python object typed for the stub (NDArray[T]).
template <class T>
using Array = nb::typed<nb::object, nb::ndarray<nb::numpy, const T>>;

// A read-only NumPy array that owns `values`.
template <class T>
Array<T> owned_array(std::vector<T>&& values, std::initializer_list<std::size_t> shape) {
    auto* held = new std::vector<T>(std::move(values));
    nb::capsule owner(held, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
    return nb::borrow<Array<T>>(nb::cast(nb::ndarray<nb::numpy, const T>(held->data(), shape.size(), shape.begin(), owner),
                                         nb::rv_policy::automatic));
}

// The sequence as code points (a Python str arrives as UTF-8).
std::u32string code_points(std::string_view utf8);

// A domain of `coords` and `sequence`, built as dovel.Domain.from_arrays builds
// it; ValueError when their lengths differ.
torva::Domain domain_of(std::span<const torva::Point> coords, std::u32string_view sequence, std::string id = {});

// The 4x4 matrix of a transform as a NumPy array, and back.
Array<double> matrix_array(const torva::Transform& t);
std::vector<double> matrix_values(const torva::Transform& t);
torva::Transform transform_of(std::span<const double> matrix16);

// Aligned pairs as an (n, 2) int64 array.
Array<std::int64_t> pairs_array(const std::vector<torva::AlignedPair>& pairs);

// Transforms as a list of 4x4 arrays.
nb::typed<nb::list, Array<double>> transforms_list(const std::vector<torva::Transform>& transforms);

// Columns of a multiple alignment as lists: a residue index per structure, None for a gap.
nb::typed<nb::list, nb::typed<nb::list, std::optional<std::int64_t>>> columns_list(const std::vector<torva::Column>& columns);

// Asks for a pending signal (Ctrl-C) at the core's safe points; the GIL is held.
torva::Cancel signal_cancel();

// A core error as a Python exception: a cancellation raises the pending
// KeyboardInterrupt, anything else ValueError with `prefix` before its text.
[[noreturn]] void raise_core_error(const torva::Error& error, std::string_view prefix);

template <class T>
T unwrap(torva::Result<T> r, std::string_view prefix) {
    if (!r.ok()) raise_core_error(r.error(), prefix);
    return std::move(r).value();
}

}  // namespace torva_kit

namespace nanobind::detail {

template <>
struct type_caster<torva_kit::Coords> {
    NB_TYPE_CASTER(torva_kit::Coords, const_name("numpy.typing.ArrayLike"))

    bool from_python(handle src, uint8_t flags, cleanup_list* cleanup) noexcept {
        make_caster<torva_kit::CoordsArray> array;
        if (!array.from_python(src, flags, cleanup)) return false;
        value = torva_kit::Coords(std::move(array.value));
        return true;
    }
    static handle from_cpp(const torva_kit::Coords& c, rv_policy policy, cleanup_list* cleanup) noexcept {
        return make_caster<torva_kit::CoordsArray>::from_cpp(c, policy, cleanup);
    }
};

}  // namespace nanobind::detail
