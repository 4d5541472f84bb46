// The Python-visible classes and functions of the module, one group per source
// file. lib.cpp registers them in the module's attribute order.
#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

#include "binding.hpp"
#include "torva/alignment.hpp"
#include "torva/io.hpp"
#include "torva/math.hpp"
#include "torva/scoring.hpp"
#include "torva/treewise.hpp"

namespace dovel {

// geometry.cpp
extern PyMethodDef compute_rmsd_def;
extern PyMethodDef superpose_def;
extern PyMethodDef distance_matrix_def;
extern PyMethodDef centroid_def;

// transform.cpp: class Transform
template <>
struct ClassSpec<torva::Transform> {
    static PyType_Spec* spec();
};
// New arrays of a transform's parts: rotation (3, 3), translation (3,), and
// the (4, 4) transformation matrix.
Ref rotation_array(const torva::Transform& t);
Ref translation_array(const torva::Transform& t);
Ref matrix4_array(const torva::Matrix4& m);
// Transform.apply and the methods like it: `coords` an (N, 3) array argument.
Ref apply_to_array(const torva::Transform& t, PyObject* coords, const char* param);

// parameters.cpp: class Parameters
template <>
struct ClassSpec<torva::Parameters> {
    static PyType_Spec* spec();
};
// The record of an optional `params` argument: a copy, or the defaults for None.
torva::Parameters arg_parameters(PyObject* obj, const char* param);

// domain.cpp: class Domain. Take a `Domain` argument with
// `shared(arg_instance<torva::Domain>(obj, "param"))`; `wrap(record)` makes a new one.
template <>
struct ClassSpec<torva::Domain> {
    static PyType_Spec* spec();
};
// New (N, 3) array of a domain's C-alpha coordinates, moved by `transform`
// when it is not null; written straight from the residues.
Ref coordinates_array(const torva::Domain& domain, const torva::Transform* transform);

// pairwise.cpp: class AlignmentResult (an owned copy of one pairwise outcome)
// and the function pairwise_align.
struct AlignmentRecord {
    std::vector<torva::AlignedPair> aligned_pairs;
    double rmsd = 0.0;
    std::size_t n_aligned = 0;
    double score = 0.0;
    double seq_identity = 0.0;  // fraction, 0 to 1
    torva::Transform transform;
};
template <>
struct ClassSpec<AlignmentRecord> {
    static PyType_Spec* spec();
};
extern PyMethodDef pairwise_align_def;

// scan_database.cpp: class ScanHit and function scan_database
struct ScanHitEntry;
template <>
struct ClassSpec<ScanHitEntry> {
    static PyType_Spec* spec();
};
extern PyMethodDef scan_database_def;

// multiple.cpp: class MultipleAlignmentResult, functions multiple_align,
// align_pdbs and transform_pdb_file
template <>
struct ClassSpec<torva::MultipleAlignmentResult> {
    static PyType_Spec* spec();
};
extern PyMethodDef multiple_align_def;
extern PyMethodDef align_pdbs_def;
extern PyMethodDef transform_pdb_file_def;

}  // namespace dovel
