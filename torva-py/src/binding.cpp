#define TORVA_NUMPY_API_OWNER
#include "numpy_api.hpp"
//
#include "binding.hpp"

#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace dovel {

static_assert(sizeof(npy_intp) == sizeof(Py_ssize_t));
static_assert(sizeof(std::size_t) == sizeof(unsigned long long));

// ---------------------------------------------------------------------------
// Errors

void throw_pending() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    throw PyErrorSet{};
}

void throw_error(PyObject* type, std::string_view message) {
    PyObject* text = PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()));
    if (text != nullptr) {
        PyErr_SetObject(type, text);
        Py_DECREF(text);
    }
    throw PyErrorSet{};
}

PyObject* internal_error_type() noexcept {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "builtins.InternalError",
            "A broken invariant inside the alignment library (a program fault, not bad input).", PyExc_BaseException,
            nullptr);
    }
    return type;
}

namespace {

void set_internal_error(const char* message) noexcept {
    PyObject* type = internal_error_type();
    if (type != nullptr) PyErr_SetString(type, message);
}

}  // namespace

void translate_current_exception() noexcept {
    try {
        throw;
    } catch (const PyErrorSet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const torva::InternalError& e) {
        set_internal_error(e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();  // a container larger than the address space
    } catch (const std::exception& e) {
        set_internal_error(e.what());
    } catch (...) {
        set_internal_error("unknown C++ exception");
    }
}

torva::Cancel signal_cancel() {
    return torva::Cancel([] { return PyErr_CheckSignals() != 0; });
}

void rethrow_if_cancelled(const torva::Error& error) {
    if (error.kind == torva::ErrorKind::Cancelled && PyErr_Occurred() != nullptr) throw_pending();
}

void throw_core_error(PyObject* exc_type, std::string_view prefix, const torva::Error& error) {
    rethrow_if_cancelled(error);
    std::string message(prefix);
    message += error.message;
    throw_error(exc_type, message);
}

namespace {

std::string type_qualname(PyTypeObject* type) {
    Ref name = Ref::steal(PyType_GetQualName(type));
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(name.get(), &n);
    if (s == nullptr) throw_pending();
    return std::string(s, static_cast<std::size_t>(n));
}

std::string object_type_name(PyObject* obj) {
    return type_qualname(obj == nullptr ? Py_TYPE(Py_None) : Py_TYPE(obj));
}

}  // namespace

void throw_cast_error(PyObject* obj, const char* param, const char* expected) {
    std::string message = "argument '";
    message += param;
    message += "': '";
    message += object_type_name(obj);
    message += "' object cannot be cast as '";
    message += expected;
    message += "'";
    throw_error(PyExc_TypeError, message);
}

void throw_cast_error(PyObject* obj, const char* param, PyTypeObject* expected) {
    throw_cast_error(obj, param, type_qualname(expected).c_str());
}

void throw_sequence_error(PyObject* obj, const char* param) {
    if (obj != nullptr && PyUnicode_Check(obj)) {
        std::string message = "argument '";
        message += param;
        message += "': a 'str' cannot be taken as a list";
        throw_error(PyExc_TypeError, message);
    }
    throw_cast_error(obj, param, "Sequence");
}

// ---------------------------------------------------------------------------
// Argument binding

namespace {

[[noreturn]] void throw_binding_error(const Signature& sig, const std::string& what) {
    std::string message = sig.name;
    message += "() ";
    message += what;
    throw_error(PyExc_TypeError, message);
}

std::string quoted(const char* name) {
    std::string s = "'";
    s += name;
    s += "'";
    return s;
}

// Puts one keyword argument into its slot. `npos` positional arguments were given.
void assign_keyword(const Signature& sig, BoundArgs& out, PyObject* key, PyObject* value, Py_ssize_t npos) {
    if (!PyUnicode_Check(key)) throw_binding_error(sig, "keywords must be strings");
    for (std::size_t i = 0; i < sig.count; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) != 0) continue;
        if (static_cast<Py_ssize_t>(i) < npos || out[i] != nullptr) {
            throw_binding_error(sig, "got multiple values for argument " + quoted(sig.params[i]));
        }
        out.slot(i) = value;
        return;
    }
    Py_ssize_t n = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &n);
    if (text == nullptr) throw_pending();
    std::string name = "'";
    name.append(text, static_cast<std::size_t>(n));
    name += "'";
    throw_binding_error(sig, "got an unexpected keyword argument " + name);
}

// The checks CPython makes after the keywords: surplus positional arguments,
// then missing required ones.
void finish_binding(const Signature& sig, const BoundArgs& out, Py_ssize_t npos) {
    if (npos > static_cast<Py_ssize_t>(sig.count)) {
        std::string what = "takes ";
        if (sig.required != sig.count) {
            what += "from " + std::to_string(sig.required) + " to ";
        }
        what += std::to_string(sig.count);
        what += sig.count == 1 ? " positional argument" : " positional arguments";
        what += " but " + std::to_string(npos) + (npos == 1 ? " was given" : " were given");
        throw_binding_error(sig, what);
    }
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (out[i] == nullptr) missing.push_back(sig.params[i]);
    }
    if (missing.empty()) return;
    std::string what = "missing " + std::to_string(missing.size()) + " required positional argument";
    if (missing.size() > 1) what += "s";
    what += ": ";
    for (std::size_t k = 0; k < missing.size(); ++k) {
        if (k > 0) {
            if (missing.size() > 2) what += ",";
            what += k + 1 == missing.size() ? " and " : " ";
        }
        what += quoted(missing[k]);
    }
    throw_binding_error(sig, what);
}

}  // namespace

BoundArgs bind(const Signature& sig, const CallArgs& call) {
    BoundArgs out;
    const Py_ssize_t npos = call.nargs;
    const std::size_t n_fill = std::min(static_cast<std::size_t>(npos), sig.count);
    for (std::size_t i = 0; i < n_fill; ++i) out.slot(i) = call.args[i];
    if (call.kwnames != nullptr) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(call.kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            assign_keyword(sig, out, PyTuple_GET_ITEM(call.kwnames, k), call.args[npos + k], npos);
        }
    }
    finish_binding(sig, out, npos);
    return out;
}

BoundArgs bind(const Signature& sig, PyObject* args, PyObject* kwargs) {
    BoundArgs out;
    const Py_ssize_t npos = args == nullptr ? 0 : PyTuple_GET_SIZE(args);
    const std::size_t n_fill = std::min(static_cast<std::size_t>(npos), sig.count);
    for (std::size_t i = 0; i < n_fill; ++i) out.slot(i) = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));
    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) assign_keyword(sig, out, key, value, npos);
    }
    finish_binding(sig, out, npos);
    return out;
}

// ---------------------------------------------------------------------------
// NumPy

void ensure_numpy() {
    static PyObject* capsule = nullptr;  // kept for the life of the process
    if (capsule != nullptr) return;
    PyObject* module = PyImport_ImportModule("numpy._core.multiarray");
    if (module == nullptr && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
        PyErr_Clear();
        module = PyImport_ImportModule("numpy.core.multiarray");
    }
    Ref mod = Ref::steal(module);
    Ref cap = Ref::steal(PyObject_GetAttrString(mod.get(), "_ARRAY_API"));
    if (!PyCapsule_CheckExact(cap.get())) throw_error(PyExc_ImportError, "numpy: _ARRAY_API is not a capsule");
    void* table = PyCapsule_GetPointer(cap.get(), nullptr);
    if (table == nullptr) throw_pending();
    PyArray_API = static_cast<void**>(table);
    if (NPY_VERSION < PyArray_GetNDArrayCVersion() ||
        NPY_FEATURE_VERSION > static_cast<int>(PyArray_GetNDArrayCFeatureVersion())) {
        PyArray_API = nullptr;
        throw_error(PyExc_ImportError, "the installed NumPy is not compatible with the one dovel was built against");
    }
#if NPY_ABI_VERSION >= 0x02000000
    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
#endif
    capsule = cap.release();
}

namespace {

PyArray_Descr* float64_descr() {
    static PyArray_Descr* descr = nullptr;
    if (descr == nullptr) {
        descr = PyArray_DescrFromType(NPY_DOUBLE);
        if (descr == nullptr) throw_pending();
    }
    return descr;
}

ArrayView arg_array(PyObject* obj, const char* param, int ndim) {
    ensure_numpy();
    if (obj == nullptr || !PyArray_Check(obj)) throw_cast_error(obj, param, &PyArray_Type);
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(arr) != ndim || !PyArray_EquivTypes(PyArray_DESCR(arr), float64_descr())) {
        throw_cast_error(obj, param, &PyArray_Type);
    }
    ArrayView v;
    v.data = static_cast<const char*>(PyArray_DATA(arr));
    v.rows = PyArray_DIM(arr, 0);
    v.row_stride = PyArray_STRIDE(arr, 0);
    if (ndim == 2) {
        v.cols = PyArray_DIM(arr, 1);
        v.col_stride = PyArray_STRIDE(arr, 1);
    } else {
        v.cols = 1;
        v.col_stride = 0;
    }
    return v;
}

}  // namespace

double ArrayView::at(Py_ssize_t i, Py_ssize_t j) const noexcept {
    double value;
    std::memcpy(&value, data + i * row_stride + j * col_stride, sizeof value);  // may be unaligned
    return value;
}

torva::PointSet ArrayView::points() const {
    torva::PointSet out;
    out.reserve(static_cast<std::size_t>(rows));
    for (Py_ssize_t i = 0; i < rows; ++i) out.push_back({at(i, 0), at(i, 1), at(i, 2)});
    return out;
}

ArrayView arg_array2d(PyObject* obj, const char* param) { return arg_array(obj, param, 2); }
ArrayView arg_array1d(PyObject* obj, const char* param) { return arg_array(obj, param, 1); }

Ref new_array(std::initializer_list<Py_ssize_t> shape, double*& data) {
    ensure_numpy();
    npy_intp dims[4];
    if (shape.size() > 4) throw torva::InternalError("new_array: too many dimensions");
    int nd = 0;
    for (Py_ssize_t d : shape) dims[nd++] = d;
    Ref arr = Ref::steal(PyArray_SimpleNew(nd, dims, NPY_DOUBLE));
    data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr.get())));
    return arr;
}

Ref points_array(std::span<const torva::Point> points) {
    double* data = nullptr;
    Ref arr = new_array({static_cast<Py_ssize_t>(points.size()), 3}, data);
    if (!points.empty()) std::memcpy(data, points.data(), points.size() * sizeof(torva::Point));
    return arr;
}

// ---------------------------------------------------------------------------
// Converters

std::string arg_str(PyObject* obj, const char* param) {
    if (obj == nullptr || !PyUnicode_Check(obj)) throw_cast_error(obj, param, "str");
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
    if (s == nullptr) throw_pending();
    return std::string(s, static_cast<std::size_t>(n));
}

std::string arg_path(PyObject* obj, const char* param) {
    std::string path = arg_str(obj, param);
    if (path.find('\0') != std::string::npos) {
        throw_error(PyExc_ValueError, std::string("argument '") + param + "': embedded null character in path");
    }
    return path;
}

std::u32string arg_u32str(PyObject* obj, const char* param) {
    if (obj == nullptr || !PyUnicode_Check(obj)) throw_cast_error(obj, param, "str");
    const Py_ssize_t n = PyUnicode_GetLength(obj);
    if (n < 0) throw_pending();
    std::u32string out(static_cast<std::size_t>(n), U'\0');
    if (n > 0 && PyUnicode_AsUCS4(obj, reinterpret_cast<Py_UCS4*>(out.data()), n, 0) == nullptr) throw_pending();
    return out;
}

char32_t arg_chain(PyObject* obj, const char* param) {
    if (obj == nullptr || !PyUnicode_Check(obj)) throw_cast_error(obj, param, "str");
    if (PyUnicode_GetLength(obj) != 1) throw_error(PyExc_ValueError, "expected a string of length 1");
    return static_cast<char32_t>(PyUnicode_ReadChar(obj, 0));
}

std::optional<char32_t> arg_opt_chain(PyObject* obj, const char* param) {
    if (is_absent(obj)) return std::nullopt;
    return arg_chain(obj, param);
}

double arg_float(PyObject* obj, const char* param) {
    if (obj == nullptr) throw_cast_error(obj, param, "float");
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            throw_cast_error(obj, param, "float");
        }
        throw_pending();
    }
    return v;
}

namespace {

Ref as_index(PyObject* obj, const char* param) {
    if (obj == nullptr) throw_cast_error(obj, param, "int");
    PyObject* idx = PyNumber_Index(obj);
    if (idx == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            throw_cast_error(obj, param, "int");
        }
        throw_pending();
    }
    return Ref::steal(idx);
}

}  // namespace

std::uint32_t arg_u32(PyObject* obj, const char* param) {
    Ref idx = as_index(obj, param);
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(idx.get(), &overflow);
    if (v == -1 && overflow == 0 && PyErr_Occurred()) throw_pending();
    if (overflow != 0 || v < 0 || v > static_cast<long long>(std::numeric_limits<std::uint32_t>::max())) {
        throw_error(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    return static_cast<std::uint32_t>(v);
}

std::size_t arg_index(PyObject* obj, const char* param) {
    Ref idx = as_index(obj, param);
    const unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_pending();
    return static_cast<std::size_t>(v);
}

bool arg_bool(PyObject* obj, const char* param) {
    if (obj == Py_True) return true;
    if (obj == Py_False) return false;
    if (obj != nullptr) {
        ensure_numpy();
        if (PyArray_IsScalar(obj, Bool)) return PyArrayScalar_VAL(obj, Bool) != 0;
    }
    throw_cast_error(obj, param, "bool");
}

// ---------------------------------------------------------------------------
// Python values

Ref py_float(double v) { return Ref::steal(PyFloat_FromDouble(v)); }
Ref py_int(std::size_t v) { return Ref::steal(PyLong_FromSize_t(v)); }
Ref py_bool(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
Ref py_str(std::string_view utf8) {
    return Ref::steal(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}
Ref py_str(std::u32string_view text) {
    return Ref::steal(
        PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text.data(), static_cast<Py_ssize_t>(text.size())));
}
Ref py_char(char32_t c) { return Ref::steal(PyUnicode_FromOrdinal(static_cast<int>(c))); }

// ---------------------------------------------------------------------------
// Borrow counters

void BorrowFlag::acquire_shared() {
    std::int32_t cur = state_.load(std::memory_order_acquire);
    do {
        if (cur < 0) throw_error(PyExc_RuntimeError, "Already mutably borrowed");
    } while (!state_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire));
}

void BorrowFlag::acquire_exclusive() {
    std::int32_t expected = 0;
    if (!state_.compare_exchange_strong(expected, -1, std::memory_order_acquire)) {
        throw_error(PyExc_RuntimeError, "Already borrowed");
    }
}

}  // namespace dovel
