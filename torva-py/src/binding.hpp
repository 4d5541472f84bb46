// The binding layer between CPython and torva-core: owned references, the one
// argument binder, argument converters, NumPy arrays, error mapping and the
// class machinery. Every Python-visible function, method and attribute of the
// `dovel` module is written with these pieces and nothing else.
//
// Error model. Inside the layer a Python error is a C++ exception: a helper
// sets the Python exception and throws `PyErrorSet`. Each entry point that
// CPython calls is wrapped by one of the trampolines below (`function`,
// `method`, `getset`, `class_new`, `slot_repr`, ...), which catch every C++
// exception at the boundary: `PyErrorSet` leaves the Python error as set,
// `torva::InternalError` (and any other C++ exception) becomes the module's
// `InternalError` (derived from BaseException), `std::bad_alloc` becomes
// MemoryError. Nothing C++ ever crosses into CPython. Hold Python objects in
// `Ref` so that an exception releases them.
//
// Adding a module function
//   1. In your own file (e.g. scan.cpp):
//        namespace {
//        constexpr Signature kScanSig{"scan_database", {"query", "targets", "params", ...}, 2};
//        Ref scan_database(PyObject* /*module*/, const CallArgs& call) {
//            const BoundArgs a = bind(kScanSig, call);          // all binding errors
//            auto query = shared(arg_instance<torva::Domain>(a[0], "query"));
//            torva::Parameters params = arg_parameters(a[2], "params");
//            ...                                                 // convert in parameter order
//            auto hits = unwrap(torva::scan_database(...), PyExc_ValueError, "Scan failed: ");
//            ...                                                 // build and return an owned Ref
//        }
//        }  // namespace
//        PyMethodDef scan_database_def = function<scan_database>("scan_database", kScanDoc);
//      The docstring starts with the text signature: "name(a, b=None)\n--\n\n...".
//   2. Declare `extern PyMethodDef scan_database_def;` in surfaces.hpp and put
//      `make_function<scan_database_def>` into its slot of the table in lib.cpp.
//
// Adding a class wrapping a record `R`
//   1. Declare `template <> struct ClassSpec<R> { static PyType_Spec* spec(); };` in
//      surfaces.hpp (R must be a distinct C++ type per class; wrap it in a small
//      struct when needed).
//   2. Define `ClassSpec<R>::spec()` in your file: a static PyType_Spec named
//      "builtins.<Class>", basicsize `sizeof(Instance<R>)`, flags
//      `Py_TPFLAGS_DEFAULT` (add `Py_TPFLAGS_DISALLOW_INSTANTIATION` when Python
//      must not create it), and slots including `{Py_tp_dealloc, dealloc_slot<R>()}`,
//      the docstring, `method<...>` / `getset<...>` tables and, if instantiable,
//      `{Py_tp_new, class_new<fn>()}`.
//   3. `class_type<R>()` creates the type lazily and keeps it; `wrap(R)` makes a new
//      instance owning a record; `arg_instance<R>(obj, "param")` checks an argument;
//      `shared<R>(self)` / `exclusive<R>(self)` take the per-instance borrows
//      (getters and methods shared, setters exclusive for the store only).
//   4. Put `make_class<R>` into the class's slot of the table in lib.cpp.
//
// Binding rules: every parameter is positional-or-keyword; missing, surplus,
// unexpected and duplicated arguments give CPython's wording with the function
// named "name()" or "Class.method()" (counts exclude `self`). Converters are
// called in parameter order and name the parameter in their TypeError:
// "argument 'coords': 'list' object cannot be cast as 'ndarray'".
#pragma once

#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "instance.hpp"
#include "torva/cancel.hpp"
#include "torva/error.hpp"
#include "torva/math.hpp"

namespace dovel {

// ---------------------------------------------------------------------------
// Owned references and the error model

// Thrown after a Python exception has been set; unwinds to the trampoline.
struct PyErrorSet {};

// Throws PyErrorSet (the Python error must already be set).
[[noreturn]] void throw_pending();
[[noreturn]] void throw_error(PyObject* type, std::string_view message);

// One strong reference, released on destruction. Move-only.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(p_);
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference; a null pointer means a Python error is set.
    static Ref steal(PyObject* p) {
        if (p == nullptr) throw_pending();
        return Ref(p);
    }
    // Adds a reference to a borrowed, non-null pointer.
    static Ref borrow(PyObject* p) noexcept {
        Py_INCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// The module's exception for broken core invariants: "builtins.InternalError",
// derived from BaseException so that `except Exception` does not swallow it.
// Created once; returns a borrowed reference (null if creating it failed).
PyObject* internal_error_type() noexcept;

// Sets the Python error for the C++ exception being handled. Call only inside a
// catch block.
void translate_current_exception() noexcept;

// A core error becomes `exc_type(prefix + error.message)`; a cancelled
// operation re-raises what the signal handler raised (see signal_cancel).
[[noreturn]] void throw_core_error(PyObject* exc_type, std::string_view prefix, const torva::Error& error);

// The Cancel handed to long core operations: at each safe point it runs the
// pending signal handlers (the interpreter lock is held throughout), and asks
// the operation to stop when one raised, KeyboardInterrupt for SIGINT. The
// exception stays set for throw_core_error / throw_pending to re-raise.
torva::Cancel signal_cancel();

// Throws PyErrorSet when `error` is a cancellation with the handler's
// exception set; returns otherwise.
void rethrow_if_cancelled(const torva::Error& error);

template <class T>
T unwrap(torva::Result<T>&& result, PyObject* exc_type, std::string_view prefix) {
    if (!result.ok()) throw_core_error(exc_type, prefix, result.error());
    return std::move(result).value();
}

inline void unwrap(torva::Status&& status, PyObject* exc_type, std::string_view prefix) {
    if (!status.ok()) throw_core_error(exc_type, prefix, status.error());
}

// "argument '<param>': '<type of obj>' object cannot be cast as '<expected>'"
[[noreturn]] void throw_cast_error(PyObject* obj, const char* param, const char* expected);
[[noreturn]] void throw_cast_error(PyObject* obj, const char* param, PyTypeObject* expected);

// ---------------------------------------------------------------------------
// Argument binding

inline constexpr std::size_t kMaxParams = 12;

// The parameter list of one function or method. `name` is what messages show
// before "()": "superpose" or "Transform.apply". The first `required`
// parameters have no default.
struct Signature {
    const char* name;
    std::array<const char*, kMaxParams> params{};
    std::size_t count = 0;
    std::size_t required = 0;

    constexpr Signature(const char* fn_name, std::initializer_list<const char*> names, std::size_t n_required)
        : name(fn_name), count(names.size()), required(n_required) {
        if (names.size() > kMaxParams || n_required > names.size()) throw "bad signature";  // compile-time error
        std::size_t i = 0;
        for (const char* n : names) params[i++] = n;
    }
};

// Arguments as CPython hands them to a METH_FASTCALL | METH_KEYWORDS function.
struct CallArgs {
    PyObject* const* args = nullptr;
    Py_ssize_t nargs = 0;
    PyObject* kwnames = nullptr;  // tuple of keyword names or null; values follow args
};

// One borrowed pointer per parameter; null when the argument was left out.
class BoundArgs {
public:
    PyObject* operator[](std::size_t i) const noexcept { return v_[i]; }
    PyObject*& slot(std::size_t i) noexcept { return v_[i]; }

private:
    std::array<PyObject*, kMaxParams> v_{};
};

// Binds positional and keyword arguments, or raises CPython's TypeError.
BoundArgs bind(const Signature& sig, const CallArgs& call);
// The same for an (args tuple, kwargs dict) call, as tp_new receives it.
BoundArgs bind(const Signature& sig, PyObject* args, PyObject* kwargs);

// ---------------------------------------------------------------------------
// Argument converters (obj may be null = left out only where stated)

// True when the argument was left out or given as None.
inline bool is_absent(PyObject* obj) noexcept { return obj == nullptr || obj == Py_None; }

// A `str` (subclasses included) as UTF-8. No bytes, no os.PathLike.
std::string arg_str(PyObject* obj, const char* param);
// A `str` file path: as arg_str, and ValueError for an embedded NUL character.
std::string arg_path(PyObject* obj, const char* param);
// A `str` as Unicode scalar values.
std::u32string arg_u32str(PyObject* obj, const char* param);
// A one-character `str`; ValueError "expected a string of length 1" otherwise.
char32_t arg_chain(PyObject* obj, const char* param);
// None or left out gives nullopt.
std::optional<char32_t> arg_opt_chain(PyObject* obj, const char* param);
// float() semantics of the C API: float, int, __float__, __index__.
double arg_float(PyObject* obj, const char* param);
// int or __index__, 0 .. 4294967295; OverflowError
// "out of range integral type conversion attempted" otherwise.
std::uint32_t arg_u32(PyObject* obj, const char* param);
// int or __index__ as an unsigned count or index; a negative value raises
// CPython's own OverflowError ("can't convert negative int to unsigned").
std::size_t arg_index(PyObject* obj, const char* param);
// bool or numpy.bool_ only.
bool arg_bool(PyObject* obj, const char* param);
// Calls `each(item)` for every item of a sequence (list, tuple, ...); a `str`,
// or an object that is not a sequence, raises TypeError naming `param`.
template <class F>
void arg_sequence(PyObject* obj, const char* param, F&& each);

// ---------------------------------------------------------------------------
// NumPy arrays

// Read-only view of a float64 ndarray argument, valid for the call only. Any
// strides (Fortran order, slices, negative strides); elements are read through
// the strides, nothing is converted or written.
struct ArrayView {
    const char* data = nullptr;
    Py_ssize_t rows = 0;
    Py_ssize_t cols = 0;  // 1 for a 1-D array
    Py_ssize_t row_stride = 0;
    Py_ssize_t col_stride = 0;

    double at(Py_ssize_t i, Py_ssize_t j) const noexcept;
    // Rows as points from the first three columns (precondition: cols >= 3).
    torva::PointSet points() const;
};

// A 2-D array of dtype float64 (or an equivalent dtype); TypeError otherwise.
ArrayView arg_array2d(PyObject* obj, const char* param);
// A 1-D array of dtype float64; a 1-D view has rows = length, cols = 1.
ArrayView arg_array1d(PyObject* obj, const char* param);

// New C-contiguous float64 arrays owned by the caller.
Ref new_array(std::initializer_list<Py_ssize_t> shape, double*& data);
Ref points_array(std::span<const torva::Point> points);  // (N, 3)

// ---------------------------------------------------------------------------
// Python values

Ref py_float(double v);
Ref py_int(std::size_t v);
Ref py_bool(bool v);
Ref py_str(std::string_view utf8);
Ref py_str(std::u32string_view text);
Ref py_char(char32_t c);

template <class... R>
Ref make_tuple(R&&... items) {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(sizeof...(items)));
    if (t == nullptr) throw_pending();
    Py_ssize_t i = 0;
    (PyTuple_SET_ITEM(t, i++, items.release()), ...);
    return Ref::steal(t);
}

// A new list of n items; item(i) returns the owned Ref of item i.
template <class F>
Ref make_list(std::size_t n, F&& item) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; i < n; ++i) {
        Ref v = item(i);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), v.release());
    }
    return list;
}

// ---------------------------------------------------------------------------
// Classes

// BorrowFlag and Instance<T>, the object layout: instance.hpp.

// Specialised for each class (declared in surfaces.hpp, defined with the class).
template <class T>
struct ClassSpec;

// The class's type object, created on first use and kept for the process.
template <class T>
PyTypeObject* class_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
        PyObject* t = PyType_FromSpec(ClassSpec<T>::spec());
        if (t == nullptr) throw_pending();
        type = reinterpret_cast<PyTypeObject*>(t);
    }
    return type;
}

// A new instance of T's class owning `value`.
template <class T>
Ref wrap(T value) {
    PyTypeObject* type = class_type<T>();
    Ref obj = Ref::steal(type->tp_alloc(type, 0));
    auto* inst = reinterpret_cast<Instance<T>*>(obj.get());
    new (&inst->borrow) BorrowFlag();
    new (inst->storage) T(std::move(value));
    inst->constructed = true;
    return obj;
}

template <class T>
void dealloc_instance(PyObject* self) noexcept {
    auto* inst = reinterpret_cast<Instance<T>*>(self);
    PyTypeObject* type = Py_TYPE(self);
    if (inst->constructed) inst->value().~T();
    type->tp_free(self);
    Py_DECREF(type);
}

template <class T>
void* dealloc_slot() noexcept {
    return reinterpret_cast<void*>(&dealloc_instance<T>);
}

// `obj` must be an instance of T's class; TypeError naming `param` otherwise.
template <class T>
Instance<T>* arg_instance(PyObject* obj, const char* param) {
    PyTypeObject* type = class_type<T>();
    if (obj == nullptr || !PyObject_TypeCheck(obj, type)) throw_cast_error(obj, param, type);
    return reinterpret_cast<Instance<T>*>(obj);
}

// None or left out gives null.
template <class T>
Instance<T>* arg_opt_instance(PyObject* obj, const char* param) {
    return is_absent(obj) ? nullptr : arg_instance<T>(obj, param);
}

template <class T>
class Shared {
public:
    explicit Shared(Instance<T>* inst) : inst_(inst) { inst_->borrow.acquire_shared(); }
    Shared(Shared&& o) noexcept : inst_(std::exchange(o.inst_, nullptr)) {}
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;
    Shared& operator=(Shared&&) = delete;
    ~Shared() {
        if (inst_ != nullptr) inst_->borrow.release_shared();
    }
    const T& operator*() const noexcept { return inst_->value(); }
    const T* operator->() const noexcept { return &inst_->value(); }

private:
    Instance<T>* inst_;
};

template <class T>
class Exclusive {
public:
    explicit Exclusive(Instance<T>* inst) : inst_(inst) { inst_->borrow.acquire_exclusive(); }
    Exclusive(Exclusive&& o) noexcept : inst_(std::exchange(o.inst_, nullptr)) {}
    Exclusive(const Exclusive&) = delete;
    Exclusive& operator=(const Exclusive&) = delete;
    Exclusive& operator=(Exclusive&&) = delete;
    ~Exclusive() {
        if (inst_ != nullptr) inst_->borrow.release_exclusive();
    }
    T& operator*() const noexcept { return inst_->value(); }
    T* operator->() const noexcept { return &inst_->value(); }

private:
    Instance<T>* inst_;
};

template <class T>
Shared<T> shared(Instance<T>* inst) {
    return Shared<T>(inst);
}
// For `self` of a method, getter or slot of T's class.
template <class T>
Shared<T> shared(PyObject* self) {
    return Shared<T>(reinterpret_cast<Instance<T>*>(self));
}
template <class T>
Exclusive<T> exclusive(PyObject* self) {
    return Exclusive<T>(reinterpret_cast<Instance<T>*>(self));
}

// ---------------------------------------------------------------------------
// Trampolines: the only functions CPython calls. Each catches everything.

template <class F>
PyObject* guard(F&& body) noexcept {
    try {
        return body().release();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

using FunctionBody = Ref (*)(PyObject* self, const CallArgs& call);

template <FunctionBody Fn>
PyObject* fastcall_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guard([&] { return Fn(self, CallArgs{args, nargs, kwnames}); });
}

// A module function or a method (METH_FASTCALL | METH_KEYWORDS).
template <FunctionBody Fn>
PyMethodDef function(const char* name, const char* doc, int extra_flags = 0) {
    return PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall_entry<Fn>)),
                       METH_FASTCALL | METH_KEYWORDS | extra_flags, doc};
}
template <FunctionBody Fn>
PyMethodDef method(const char* name, const char* doc) {
    return function<Fn>(name, doc);
}
template <FunctionBody Fn>
PyMethodDef static_method(const char* name, const char* doc) {
    return function<Fn>(name, doc, METH_STATIC);
}

using GetterBody = Ref (*)(PyObject* self);
using SetterBody = void (*)(PyObject* self, PyObject* value);

template <GetterBody Get>
PyObject* getter_entry(PyObject* self, void*) noexcept {
    return guard([&] { return Get(self); });
}

template <SetterBody Set>
int setter_entry(PyObject* self, PyObject* value, void*) noexcept {
    if (value == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
        return -1;
    }
    try {
        Set(self, value);
        return 0;
    } catch (...) {
        translate_current_exception();
        return -1;
    }
}

template <GetterBody Get>
PyGetSetDef getset(const char* name, const char* doc) {
    return PyGetSetDef{name, &getter_entry<Get>, nullptr, doc, nullptr};
}
template <GetterBody Get, SetterBody Set>
PyGetSetDef getset(const char* name, const char* doc) {
    return PyGetSetDef{name, &getter_entry<Get>, &setter_entry<Set>, doc, nullptr};
}

// tp_new of an instantiable class: `Fn` binds (args, kwargs) and returns the object.
using NewBody = Ref (*)(PyObject* args, PyObject* kwargs);

template <NewBody Fn>
PyObject* new_entry(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
    return guard([&] { return Fn(args, kwargs); });
}
template <NewBody Fn>
void* class_new() noexcept {
    return reinterpret_cast<void*>(&new_entry<Fn>);
}

// tp_repr / tp_str
template <GetterBody Fn>
PyObject* repr_entry(PyObject* self) noexcept {
    return guard([&] { return Fn(self); });
}
template <GetterBody Fn>
void* slot_repr() noexcept {
    return reinterpret_cast<void*>(&repr_entry<Fn>);
}

using LengthBody = std::size_t (*)(PyObject* self);

template <LengthBody Fn>
Py_ssize_t length_entry(PyObject* self) noexcept {
    try {
        return static_cast<Py_ssize_t>(Fn(self));
    } catch (...) {
        translate_current_exception();
        return -1;
    }
}
template <LengthBody Fn>
int bool_entry(PyObject* self) noexcept {
    try {
        return Fn(self) != 0 ? 1 : 0;
    } catch (...) {
        translate_current_exception();
        return -1;
    }
}

// ---------------------------------------------------------------------------
// Sequences

// TypeError for a `str` or a non-sequence given where a sequence is expected.
[[noreturn]] void throw_sequence_error(PyObject* obj, const char* param);

template <class F>
void arg_sequence(PyObject* obj, const char* param, F&& each) {
    if (obj == nullptr || PyUnicode_Check(obj) || !PySequence_Check(obj)) throw_sequence_error(obj, param);
    const Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) throw_pending();
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref item = Ref::steal(PySequence_GetItem(obj, i));
        each(item.get());
    }
}

}  // namespace dovel
