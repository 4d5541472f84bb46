// Settings: the alignment parameters as a plain value that compares, prints and pickles.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>

#include <cstdint>
#include <string>
#include <tuple>

#include "kit.hpp"
#include "torva/scoring.hpp"

namespace nb = nanobind;

namespace torva_kit {

namespace {

using State = std::tuple<std::uint32_t, double, double, double, double, bool, std::uint32_t, double, double, double,
                         std::uint32_t>;

State state_of(const torva::Parameters& p) {
    return {p.n_passes, p.e1,          p.e2,           p.gap_open,    p.gap_extend, p.use_secondary,
            p.max_iter, p.cutoff_dist, p.score_cutoff, p.convergence, p.verbosity};
}

torva::Parameters from_state(const State& s) {
    torva::Parameters p;
    std::tie(p.n_passes, p.e1, p.e2, p.gap_open, p.gap_extend, p.use_secondary, p.max_iter, p.cutoff_dist,
             p.score_cutoff, p.convergence, p.verbosity) = s;
    return p;
}

std::string number(double x) { return nb::cast<std::string>(nb::repr(nb::float_(x))); }

// The attribute names, in the order of the dovel.Parameters constructor.
constexpr const char* kNames[] = {"n_passes", "e1",          "e2",           "gap_open",    "gap_extend", "use_secondary",
                                  "max_iter", "cutoff_dist", "score_cutoff", "convergence", "verbosity"};

}  // namespace

void bind_settings(nb::module_& m) {
    auto cls = nb::class_<torva::Parameters>(m, "Settings",
                                             "Alignment parameters as a plain value (the fields of dovel.Parameters).");
    cls.def(
           "__init__",
           [](torva::Parameters* self, std::uint32_t n_passes, double e1, double e2, double gap_open,
              double gap_extend, bool use_secondary, std::uint32_t max_iter, double cutoff_dist,
              double score_cutoff, double convergence, std::uint32_t verbosity) {
               new (self) torva::Parameters(from_state({n_passes, e1, e2, gap_open, gap_extend, use_secondary,
                                                        max_iter, cutoff_dist, score_cutoff, convergence,
                                                        verbosity}));
           },
           nb::kw_only(), nb::arg("n_passes") = torva::Parameters{}.n_passes, nb::arg("e1") = torva::Parameters{}.e1,
           nb::arg("e2") = torva::Parameters{}.e2, nb::arg("gap_open") = torva::Parameters{}.gap_open,
           nb::arg("gap_extend") = torva::Parameters{}.gap_extend,
           nb::arg("use_secondary") = torva::Parameters{}.use_secondary,
           nb::arg("max_iter") = torva::Parameters{}.max_iter,
           nb::arg("cutoff_dist") = torva::Parameters{}.cutoff_dist,
           nb::arg("score_cutoff") = torva::Parameters{}.score_cutoff,
           nb::arg("convergence") = torva::Parameters{}.convergence,
           nb::arg("verbosity") = torva::Parameters{}.verbosity)
        .def_rw("n_passes", &torva::Parameters::n_passes)
        .def_rw("e1", &torva::Parameters::e1)
        .def_rw("e2", &torva::Parameters::e2)
        .def_rw("gap_open", &torva::Parameters::gap_open)
        .def_rw("gap_extend", &torva::Parameters::gap_extend)
        .def_rw("use_secondary", &torva::Parameters::use_secondary)
        .def_rw("max_iter", &torva::Parameters::max_iter)
        .def_rw("cutoff_dist", &torva::Parameters::cutoff_dist)
        .def_rw("score_cutoff", &torva::Parameters::score_cutoff)
        .def_rw("convergence", &torva::Parameters::convergence)
        .def_rw("verbosity", &torva::Parameters::verbosity)
        .def("__eq__",
             [](const torva::Parameters& a, const torva::Parameters& b) { return state_of(a) == state_of(b); })
        .def("__eq__", [](const torva::Parameters&, nb::handle) { return false; })
        .def("__getstate__", &state_of)
        .def("__setstate__", [](torva::Parameters* self, const State& s) { new (self) torva::Parameters(from_state(s)); })
        .def("__repr__",
             [](const torva::Parameters& p) {
                 std::string out = "Settings(";
                 out += "n_passes=" + std::to_string(p.n_passes) + ", e1=" + number(p.e1) + ", e2=" + number(p.e2) +
                        ", gap_open=" + number(p.gap_open) + ", gap_extend=" + number(p.gap_extend) +
                        ", use_secondary=" + (p.use_secondary ? "True" : "False") +
                        ", max_iter=" + std::to_string(p.max_iter) + ", cutoff_dist=" + number(p.cutoff_dist) +
                        ", score_cutoff=" + number(p.score_cutoff) + ", convergence=" + number(p.convergence) +
                        ", verbosity=" + std::to_string(p.verbosity) + ")";
                 return out;
             })
        .def_static(
            "from_parameters",
            [](nb::handle params) {
                // Any object with the attributes of dovel.Parameters (duck-typed: dovel is not linked here).
                State s;
                s = State{nb::cast<std::uint32_t>(params.attr(kNames[0])), nb::cast<double>(params.attr(kNames[1])),
                          nb::cast<double>(params.attr(kNames[2])),        nb::cast<double>(params.attr(kNames[3])),
                          nb::cast<double>(params.attr(kNames[4])),        nb::cast<bool>(params.attr(kNames[5])),
                          nb::cast<std::uint32_t>(params.attr(kNames[6])), nb::cast<double>(params.attr(kNames[7])),
                          nb::cast<double>(params.attr(kNames[8])),        nb::cast<double>(params.attr(kNames[9])),
                          nb::cast<std::uint32_t>(params.attr(kNames[10]))};
                return from_state(s);
            },
            nb::arg("parameters"), nb::sig("def from_parameters(parameters: dovel.Parameters) -> Settings"),
            "The settings of a dovel.Parameters object.")
        .def(
            "to_parameters",
            [](const torva::Parameters& p) {
                nb::object out = nb::module_::import_("dovel").attr("Parameters")();
                State s = state_of(p);
                nb::object values = nb::cast(s);
                for (std::size_t k = 0; k < std::size(kNames); ++k) nb::setattr(out, kNames[k], values[k]);
                return out;
            },
            nb::sig("def to_parameters(self) -> dovel.Parameters"), "A new dovel.Parameters with these values.");
}

}  // namespace torva_kit
