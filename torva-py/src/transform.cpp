// The Transform class: an immutable rigid-body transformation.
#include <cstring>
#include <string>

#include "binding.hpp"
#include "surfaces.hpp"
#include "torva/io.hpp"
#include "torva/math.hpp"

namespace dovel {
namespace {

using torva::Transform;

constexpr const char* kClassDoc =
    "Transform()\n--\n\nPython wrapper for 3D rigid body transformation.\n\n"
    "Represents a rotation followed by translation.";

constexpr Signature kNewSig{"Transform", {}, 0};

Ref transform_new(PyObject* args, PyObject* kwargs) {
    bind(kNewSig, args, kwargs);
    return wrap(Transform::identity());
}

constexpr Signature kFromMatrixSig{"Transform.from_matrix", {"rotation", "translation"}, 2};
constexpr const char* kFromMatrixDoc =
    "from_matrix(rotation, translation)\n--\n\nCreates a transformation from rotation matrix and translation "
    "vector.\n\nArgs:\n    rotation: 3x3 rotation matrix as numpy array.\n    translation: 3-element translation "
    "vector as numpy array.";

Ref from_matrix(PyObject*, const CallArgs& call) {
    const BoundArgs a = bind(kFromMatrixSig, call);
    const ArrayView r = arg_array2d(a[0], "rotation");
    const ArrayView t = arg_array1d(a[1], "translation");
    if (r.rows != 3 || r.cols != 3) throw_error(PyExc_ValueError, "Rotation must be 3x3 matrix");
    if (t.rows != 3) throw_error(PyExc_ValueError, "Translation must be 3-element vector");
    Transform out;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) out.rotation[i][j] = r.at(i, j);
        out.translation[i] = t.at(i, 0);
    }
    return wrap(out);
}

Ref get_rotation(PyObject* self) { return rotation_array(*shared<Transform>(self)); }

Ref get_translation(PyObject* self) { return translation_array(*shared<Transform>(self)); }

constexpr Signature kMatrixSig{"Transform.transformation_matrix", {}, 0};
constexpr const char* kMatrixDoc =
    "transformation_matrix($self)\n--\n\nReturns the full 4x4 transformation matrix.";

Ref transformation_matrix(PyObject* self, const CallArgs& call) {
    bind(kMatrixSig, call);
    return matrix4_array(shared<Transform>(self)->transformation_matrix());
}

constexpr Signature kApplySig{"Transform.apply", {"coords"}, 1};
constexpr const char* kApplyDoc =
    "apply($self, coords)\n--\n\nApplies this transformation to coordinates.\n\nArgs:\n"
    "    coords: Nx3 array of coordinates.\n\nReturns:\n    Transformed Nx3 array.";

Ref apply(PyObject* self, const CallArgs& call) {
    const BoundArgs a = bind(kApplySig, call);
    const auto t = shared<Transform>(self);
    return apply_to_array(*t, a[0], "coords");
}

constexpr Signature kInverseSig{"Transform.inverse", {}, 0};
constexpr const char* kInverseDoc = "inverse($self)\n--\n\nReturns the inverse transformation.";

Ref inverse(PyObject* self, const CallArgs& call) {
    bind(kInverseSig, call);
    return wrap(shared<Transform>(self)->inverse());
}

constexpr Signature kComposeSig{"Transform.compose", {"other"}, 1};
constexpr const char* kComposeDoc =
    "compose($self, other)\n--\n\nComposes this transformation with another (self * other).";

Ref compose(PyObject* self, const CallArgs& call) {
    const BoundArgs a = bind(kComposeSig, call);
    const auto t = shared<Transform>(self);
    const auto other = shared(arg_instance<Transform>(a[0], "other"));
    return wrap(t->compose(*other));
}

// Transform(translation=[1.235, -0.000, 10.000]); the rotation is not shown.
Ref transform_repr(PyObject* self) {
    const auto t = shared<Transform>(self);
    std::string text = "Transform(translation=[";
    for (int i = 0; i < 3; ++i) {
        if (i > 0) text += ", ";
        text += torva::format_fixed(t->translation[i], 3);
    }
    text += "])";
    return py_str(text);
}

PyMethodDef methods[] = {
    static_method<from_matrix>("from_matrix", kFromMatrixDoc),
    method<transformation_matrix>("transformation_matrix", kMatrixDoc),
    method<apply>("apply", kApplyDoc),
    method<inverse>("inverse", kInverseDoc),
    method<compose>("compose", kComposeDoc),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getsets[] = {
    getset<get_rotation>("rotation", "Returns the rotation matrix as 3x3 numpy array."),
    getset<get_translation>("translation", "Returns the translation vector as numpy array."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, dealloc_slot<Transform>()},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, class_new<transform_new>()},
    {Py_tp_methods, methods},
    {Py_tp_getset, getsets},
    {Py_tp_repr, slot_repr<transform_repr>()},
    {Py_tp_str, slot_repr<transform_repr>()},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.Transform", sizeof(Instance<Transform>), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyType_Spec* ClassSpec<torva::Transform>::spec() { return &kSpec; }

Ref rotation_array(const torva::Transform& t) {
    double* data = nullptr;
    Ref arr = new_array({3, 3}, data);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) data[i * 3 + j] = t.rotation[i][j];
    return arr;
}

Ref translation_array(const torva::Transform& t) {
    double* data = nullptr;
    Ref arr = new_array({3}, data);
    for (int i = 0; i < 3; ++i) data[i] = t.translation[i];
    return arr;
}

Ref matrix4_array(const torva::Matrix4& m) {
    double* data = nullptr;
    Ref arr = new_array({4, 4}, data);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) data[i * 4 + j] = m[i][j];
    return arr;
}

Ref apply_to_array(const torva::Transform& t, PyObject* coords, const char* param) {
    const ArrayView c = arg_array2d(coords, param);
    if (c.cols != 3) throw_error(PyExc_ValueError, "Coordinates must have shape (N, 3)");
    torva::PointSet points = c.points();
    t.apply_in_place(points);
    return points_array(points);
}

}  // namespace dovel
