// Module entry point: creates the `dovel` module once per process and registers
// its classes, functions and __version__ in their fixed public order.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "binding.hpp"
#include "surfaces.hpp"

namespace dovel {
namespace {

constexpr const char* kModuleDoc =
    "dovel: Python interface to the torva protein structure alignment library.\n"
    "\n"
    "This module provides Python bindings to the torva structural alignment\n"
    "library for pairwise and multiple structure alignment of protein domains\n"
    "reduced to their C-alpha atoms.\n"
    "\n"
    "Example:\n"
    "    >>> import dovel\n"
    "    >>> d1 = dovel.Domain.from_pdb(\"1abc.pdb\", chain='A')\n"
    "    >>> d2 = dovel.Domain.from_pdb(\"2xyz.pdb\", chain='A')\n"
    "    >>> result = dovel.pairwise_align(d1, d2)\n"
    "    >>> print(f\"RMSD: {result.rmsd:.2f}\")\n";

constexpr const char* kVersion = TORVA_VERSION;  // from the VERSION file, through CMake

// Single-phase initialisation with m_size 0: a re-import after the module was
// removed from sys.modules calls PyInit_dovel again, which returns the kept module.
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "dovel", kModuleDoc, 0, nullptr, nullptr, nullptr, nullptr, nullptr};

template <class T>
Ref make_class(PyObject*) {
    return Ref::borrow(reinterpret_cast<PyObject*>(class_type<T>()));
}

template <PyMethodDef& Def>
Ref make_function(PyObject* module) {
    Ref name = Ref::steal(PyModule_GetNameObject(module));
    return Ref::steal(PyCFunction_NewEx(&Def, module, name.get()));
}

Ref make_version(PyObject*) { return py_str(kVersion); }

// One public attribute. `make` is null for a surface that is not built yet.
struct Slot {
    const char* name;
    Ref (*make)(PyObject* module);
};

// The module's attributes, in this order (also the order of __all__).
const Slot kSlots[] = {
    {"Domain", make_class<torva::Domain>},
    {"Parameters", make_class<torva::Parameters>},
    {"Transform", make_class<torva::Transform>},
    {"AlignmentResult", make_class<AlignmentRecord>},
    {"MultipleAlignmentResult", make_class<torva::MultipleAlignmentResult>},
    {"ScanHit", make_class<ScanHitEntry>},
    {"pairwise_align", make_function<pairwise_align_def>},
    {"multiple_align", make_function<multiple_align_def>},
    {"align_pdbs", make_function<align_pdbs_def>},
    {"scan_database", make_function<scan_database_def>},
    {"compute_rmsd", make_function<compute_rmsd_def>},
    {"superpose", make_function<superpose_def>},
    {"distance_matrix", make_function<distance_matrix_def>},
    {"centroid", make_function<centroid_def>},
    {"transform_pdb_file", make_function<transform_pdb_file_def>},
    {"__version__", make_version},
};

// Appends `name` to __all__ (created by the first addition), then sets the attribute.
void add_attribute(PyObject* module, Ref& all, const char* name, const Ref& value) {
    PyObject* dict = PyModule_GetDict(module);  // borrowed
    if (!all) {
        all = Ref::steal(PyList_New(0));
        if (PyDict_SetItemString(dict, "__all__", all.get()) < 0) throw_pending();
    }
    Ref key = py_str(name);
    if (PyList_Append(all.get(), key.get()) < 0) throw_pending();
    if (PyDict_SetItem(dict, key.get(), value.get()) < 0) throw_pending();
}

Ref create_module() {
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (internal_error_type() == nullptr) throw_pending();
    Ref all;
    for (const Slot& slot : kSlots) {
        if (slot.make == nullptr) continue;
        add_attribute(module.get(), all, slot.name, slot.make(module.get()));
    }
    return module;
}

std::atomic<std::int64_t> owner_interpreter{-1};
PyObject* the_module = nullptr;  // the once-cell: set after a successful first import

PyObject* init_module() noexcept {
    PyInterpreterState* interp = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interp);
    if (id == -1 && PyErr_Occurred()) return nullptr;
    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "dovel does not support sub-interpreters: it can only be imported by the interpreter "
                        "that imported it first");
        return nullptr;
    }
    if (the_module != nullptr) return Py_NewRef(the_module);
    PyObject* module = guard([] { return create_module(); });
    if (module == nullptr) return nullptr;
    the_module = Py_NewRef(module);
    return module;
}

}  // namespace
}  // namespace dovel

PyMODINIT_FUNC PyInit_dovel(void) { return dovel::init_module(); }
