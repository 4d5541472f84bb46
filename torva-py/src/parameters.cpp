// The Parameters class: the user's alignment parameters, read-write.
#include <cstdint>
#include <string>

#include "binding.hpp"
#include "surfaces.hpp"
#include "torva/io.hpp"
#include "torva/scoring.hpp"

namespace dovel {
namespace {

using torva::Parameters;

constexpr const char* kClassDoc =
    "Parameters()\n--\n\nPython wrapper for alignment parameters.\n\n"
    "All parameters have sensible defaults matching the original TORVA behavior.";

constexpr Signature kNewSig{"Parameters", {}, 0};

Ref parameters_new(PyObject* args, PyObject* kwargs) {
    bind(kNewSig, args, kwargs);
    return wrap(Parameters{});
}

// Getters copy under a shared borrow; setters convert first, then store under
// an exclusive borrow, so a failed conversion changes nothing.
template <double Parameters::*Field>
Ref get_float(PyObject* self) {
    return py_float((*shared<Parameters>(self)).*Field);
}
template <double Parameters::*Field>
void set_float(PyObject* self, PyObject* value) {
    const double v = arg_float(value, "value");
    (*exclusive<Parameters>(self)).*Field = v;
}

template <std::uint32_t Parameters::*Field>
Ref get_u32(PyObject* self) {
    return py_int((*shared<Parameters>(self)).*Field);
}
template <std::uint32_t Parameters::*Field>
void set_u32(PyObject* self, PyObject* value) {
    const std::uint32_t v = arg_u32(value, "value");
    (*exclusive<Parameters>(self)).*Field = v;
}

template <bool Parameters::*Field>
Ref get_bool(PyObject* self) {
    return py_bool((*shared<Parameters>(self)).*Field);
}
template <bool Parameters::*Field>
void set_bool(PyObject* self, PyObject* value) {
    const bool v = arg_bool(value, "value");
    (*exclusive<Parameters>(self)).*Field = v;
}

PyGetSetDef getsets[] = {
    getset<get_u32<&Parameters::n_passes>, set_u32<&Parameters::n_passes>>("n_passes",
                                                                            "Number of refinement passes."),
    getset<get_float<&Parameters::e1>, set_float<&Parameters::e1>>("e1", "E1 parameter for Pij calculation."),
    getset<get_float<&Parameters::e2>, set_float<&Parameters::e2>>("e2", "E2 parameter for Pij calculation."),
    getset<get_float<&Parameters::gap_open>, set_float<&Parameters::gap_open>>("gap_open", "Gap opening penalty."),
    getset<get_float<&Parameters::gap_extend>, set_float<&Parameters::gap_extend>>("gap_extend",
                                                                                    "Gap extension penalty."),
    getset<get_bool<&Parameters::use_secondary>, set_bool<&Parameters::use_secondary>>(
        "use_secondary", "Whether to use secondary structure in scoring."),
    getset<get_u32<&Parameters::max_iter>, set_u32<&Parameters::max_iter>>("max_iter",
                                                                            "Maximum iterations for refinement."),
    getset<get_float<&Parameters::cutoff_dist>, set_float<&Parameters::cutoff_dist>>(
        "cutoff_dist", "Distance cutoff for scoring."),
    getset<get_float<&Parameters::score_cutoff>, set_float<&Parameters::score_cutoff>>(
        "score_cutoff", "Score cutoff for alignment."),
    getset<get_float<&Parameters::convergence>, set_float<&Parameters::convergence>>("convergence",
                                                                                      "Convergence threshold."),
    getset<get_u32<&Parameters::verbosity>, set_u32<&Parameters::verbosity>>("verbosity", "Verbosity level."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Parameters(n_passes=2, e1=2, e2=5, gap_open=3, use_secondary=true)
Ref parameters_repr(PyObject* self) {
    const auto p = shared<Parameters>(self);
    std::string text = "Parameters(n_passes=" + std::to_string(p->n_passes);
    text += ", e1=" + torva::format_shortest(p->e1);
    text += ", e2=" + torva::format_shortest(p->e2);
    text += ", gap_open=" + torva::format_shortest(p->gap_open);
    text += p->use_secondary ? ", use_secondary=true)" : ", use_secondary=false)";
    return py_str(text);
}

PyType_Slot slots[] = {
    {Py_tp_dealloc, dealloc_slot<Parameters>()},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, class_new<parameters_new>()},
    {Py_tp_getset, getsets},
    {Py_tp_repr, slot_repr<parameters_repr>()},
    {Py_tp_str, slot_repr<parameters_repr>()},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.Parameters", sizeof(Instance<Parameters>), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyType_Spec* ClassSpec<torva::Parameters>::spec() { return &kSpec; }

torva::Parameters arg_parameters(PyObject* obj, const char* param) {
    if (is_absent(obj)) return torva::Parameters{};
    return *shared(arg_instance<torva::Parameters>(obj, param));
}

}  // namespace dovel
