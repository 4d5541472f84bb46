// apply_dssp: DSSP text applied to a dovel.Domain in one pass of the core's reader.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <string>
#include <string_view>
#include <vector>

#include "arrays.hpp"
#include "instance.hpp"
#include "kit.hpp"
#include "torva/domain.hpp"
#include "torva/io.hpp"

namespace torva_kit {

namespace {

// The core record of a dovel.Domain. The module and this extension link the same
// core, and instance.hpp is the one definition of the module's object layout.
torva::Domain& domain_record(nb::handle obj) {
    const nb::object type = nb::module_::import_("dovel").attr("Domain");
    if (!PyObject_TypeCheck(obj.ptr(), reinterpret_cast<PyTypeObject*>(type.ptr()))) {
        throw nb::type_error(("domain must be a dovel.Domain, not " + std::string(nb::type_name(obj.type()).c_str())).c_str());
    }
    auto* inst = reinterpret_cast<dovel::Instance<torva::Domain>*>(obj.ptr());
    if (!inst->constructed) throw nb::value_error("domain is not initialised");
    return inst->value();
}

void apply_dssp(nb::handle domain, nb::bytes text, const std::string& chain, const std::vector<std::string>& labels) {
    torva::Domain& d = domain_record(domain);
    auto* inst = reinterpret_cast<dovel::Instance<torva::Domain>*>(domain.ptr());
    if (!inst->borrow.try_acquire_exclusive()) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        throw nb::python_error();
    }
    const torva::Status s =
        torva::apply_dssp_text(d, std::string_view(text.c_str(), text.size()), chain, labels);
    inst->borrow.release_exclusive();
    if (!s) throw nb::value_error(std::string(s.error().detail()).c_str());
}

}  // namespace

void bind_dssp(nb::module_& m) {
    m.def("apply_dssp", &apply_dssp, nb::arg("domain"), nb::arg("text"), nb::arg("chain"), nb::arg("labels"),
          nb::sig("def apply_dssp(domain: dovel.Domain, text: bytes, chain: str, labels: collections.abc.Sequence[str]) -> None"),
          "Applies DSSP text (a whole DSSP file) to ``domain`` in place: secondary structure and accessibility of "
          "chain ``chain``, whose residues the file numbers as ``labels`` (one per residue, in order). ValueError "
          "(the domain unchanged) when the text is no DSSP file or describes another chain.");
}

}  // namespace torva_kit
