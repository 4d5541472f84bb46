// pairwise_align and its result class AlignmentResult.
#include <cstddef>
#include <string>
#include <utility>

#include "binding.hpp"
#include "surfaces.hpp"
#include "torva/io.hpp"
#include "torva/pairwise.hpp"
#include "torva/scan.hpp"
#include "torva/structure_pair.hpp"
#include "torva/scoring.hpp"

namespace dovel {
namespace {

using torva::Transform;

// ---------------------------------------------------------------------------
// AlignmentResult

constexpr const char* kClassDoc =
    "Python wrapper for pairwise alignment result.\n\nContains the transformation, statistics, and alignment path.";

Ref get_transform(PyObject* self) { return wrap(shared<AlignmentRecord>(self)->transform); }

Ref get_aligned_pairs(PyObject* self) {
    const auto r = shared<AlignmentRecord>(self);
    return make_list(r->aligned_pairs.size(), [&](std::size_t k) {
        const torva::AlignedPair& p = r->aligned_pairs[k];
        return make_tuple(py_int(p.i), py_int(p.j));
    });
}

Ref get_rmsd(PyObject* self) { return py_float(shared<AlignmentRecord>(self)->rmsd); }
Ref get_n_aligned(PyObject* self) { return py_int(shared<AlignmentRecord>(self)->n_aligned); }
Ref get_score(PyObject* self) { return py_float(shared<AlignmentRecord>(self)->score); }
Ref get_seq_identity(PyObject* self) { return py_float(shared<AlignmentRecord>(self)->seq_identity); }

constexpr Signature kGetRotationSig{"AlignmentResult.get_rotation", {}, 0};
constexpr const char* kGetRotationDoc =
    "get_rotation($self)\n--\n\nReturns the rotation matrix as numpy array (3x3).";

Ref get_rotation(PyObject* self, const CallArgs& call) {
    bind(kGetRotationSig, call);
    return rotation_array(shared<AlignmentRecord>(self)->transform);
}

constexpr Signature kGetTranslationSig{"AlignmentResult.get_translation", {}, 0};
constexpr const char* kGetTranslationDoc =
    "get_translation($self)\n--\n\nReturns the translation vector as numpy array (3,).";

Ref get_translation(PyObject* self, const CallArgs& call) {
    bind(kGetTranslationSig, call);
    return translation_array(shared<AlignmentRecord>(self)->transform);
}

constexpr Signature kMatrixSig{"AlignmentResult.transformation_matrix", {}, 0};
constexpr const char* kMatrixDoc = "transformation_matrix($self)\n--\n\nReturns the 4x4 transformation matrix.";

Ref transformation_matrix(PyObject* self, const CallArgs& call) {
    bind(kMatrixSig, call);
    return matrix4_array(shared<AlignmentRecord>(self)->transform.transformation_matrix());
}

constexpr Signature kTransformCoordsSig{"AlignmentResult.transform_coordinates", {"coords"}, 1};
constexpr const char* kTransformCoordsDoc =
    "transform_coordinates($self, coords)\n--\n\nApplies transformation to coordinates.\n\nArgs:\n"
    "    coords: Nx3 array of coordinates.\n\nReturns:\n    Transformed Nx3 array.";

Ref transform_coordinates(PyObject* self, const CallArgs& call) {
    const BoundArgs a = bind(kTransformCoordsSig, call);
    const auto r = shared<AlignmentRecord>(self);
    return apply_to_array(r->transform, a[0], "coords");
}

constexpr Signature kTransformedSig{"AlignmentResult.get_transformed_coordinates", {"domain"}, 1};
constexpr const char* kTransformedDoc =
    "get_transformed_coordinates($self, domain)\n--\n\nReturns the transformed coordinates of the mobile domain.";

Ref get_transformed_coordinates(PyObject* self, const CallArgs& call) {
    const BoundArgs a = bind(kTransformedSig, call);
    const auto r = shared<AlignmentRecord>(self);
    return coordinates_array(*shared(arg_instance<torva::Domain>(a[0], "domain")), &r->transform);
}

// AlignmentResult(rmsd=1.234, n_aligned=87, score=5.4321, seq_identity=0.253)
Ref result_repr(PyObject* self) {
    const auto r = shared<AlignmentRecord>(self);
    std::string text = "AlignmentResult(rmsd=" + torva::format_fixed(r->rmsd, 3);
    text += ", n_aligned=" + std::to_string(r->n_aligned);
    text += ", score=" + torva::format_fixed(r->score, 4);
    text += ", seq_identity=" + torva::format_fixed(r->seq_identity, 3) + ")";
    return py_str(text);
}

PyMethodDef methods[] = {
    method<get_rotation>("get_rotation", kGetRotationDoc),
    method<get_translation>("get_translation", kGetTranslationDoc),
    method<transformation_matrix>("transformation_matrix", kMatrixDoc),
    method<transform_coordinates>("transform_coordinates", kTransformCoordsDoc),
    method<get_transformed_coordinates>("get_transformed_coordinates", kTransformedDoc),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getsets[] = {
    getset<get_transform>("transform", "Returns the transformation as a Transform object."),
    getset<get_aligned_pairs>("aligned_pairs", "Returns the alignment path as list of (i, j) tuples."),
    getset<get_rmsd>("rmsd", "Root mean square deviation."),
    getset<get_n_aligned>("n_aligned", "Number of aligned positions."),
    getset<get_score>("score", "TORVA score (Sc)."),
    getset<get_seq_identity>("seq_identity", "Sequence identity of aligned region."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, dealloc_slot<AlignmentRecord>()},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getsets},
    {Py_tp_repr, slot_repr<result_repr>()},
    {Py_tp_str, slot_repr<result_repr>()},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.AlignmentResult", sizeof(Instance<AlignmentRecord>), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};

// ---------------------------------------------------------------------------
// pairwise_align

constexpr Signature kPairwiseSig{"pairwise_align", {"domain1", "domain2", "params", "scan_mode", "slide"}, 2};
constexpr const char* kPairwiseDoc =
    "pairwise_align(domain1, domain2, params=None, scan_mode=None, slide=None)\n--\n\n"
    "Performs pairwise structural alignment.\n\nArgs:\n    domain1: First (reference) domain.\n"
    "    domain2: Second (mobile) domain.\n    params: Optional alignment parameters.\n\nReturns:\n"
    "    AlignmentResult containing transformation and statistics.\n\nRaises:\n    ValueError: If alignment fails.";

Ref pairwise_align(PyObject*, const CallArgs& call) {
    const BoundArgs a = bind(kPairwiseSig, call);
    // Both domains stay borrowed (shared; they may be the same object) until
    // the result exists, so nothing can change them under the engine.
    const auto d1 = shared(arg_instance<torva::Domain>(a[0], "domain1"));
    const auto d2 = shared(arg_instance<torva::Domain>(a[1], "domain2"));
    const torva::Parameters params = arg_parameters(a[2], "params");
    const bool scan_mode = is_absent(a[3]) ? false : arg_bool(a[3], "scan_mode");
    const std::size_t slide = is_absent(a[4]) ? torva::ScanSettings::kPairwiseStep : arg_index(a[4], "slide");

    torva::StructurePairAlignment r =
        unwrap(torva::align_structures(*d1, *d2, params, scan_mode, slide, signal_cancel()), PyExc_ValueError,
               "Scan alignment failed: ");
    AlignmentRecord out;
    // A scan outcome reports no path. n_aligned counts aligned pairs, as on the
    // direct path and in database scans, not the path length.
    if (!scan_mode) out.aligned_pairs = std::move(r.pairs);
    out.rmsd = r.rmsd;
    out.n_aligned = r.n_aligned;
    out.score = r.score;
    out.seq_identity = r.seq_identity;
    out.transform = r.transform;
    return wrap(std::move(out));
}

}  // namespace

PyType_Spec* ClassSpec<AlignmentRecord>::spec() { return &kSpec; }

PyMethodDef pairwise_align_def = function<pairwise_align>("pairwise_align", kPairwiseDoc);

}  // namespace dovel
