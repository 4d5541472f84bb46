// Include NumPy's C API through this header only. The API table is one
// process-wide symbol, filled once on first use by ensure_numpy() (binding.cpp,
// the one translation unit that defines TORVA_NUMPY_API_OWNER).
#pragma once

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL torva_py_ARRAY_API
#ifndef TORVA_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

namespace dovel {

// Fetches the NumPy C-API table from the `_ARRAY_API` capsule of
// numpy._core.multiarray (NumPy 2) or numpy.core.multiarray (NumPy 1) the
// first time it is needed; throws PyErrorSet if NumPy cannot be loaded.
void ensure_numpy();

}  // namespace dovel
