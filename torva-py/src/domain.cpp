// The Domain class: one protein chain reduced to its C-alpha atoms.
#include <array>
#include <optional>
#include <string>
#include <utility>

#include "binding.hpp"
#include "surfaces.hpp"
#include "torva/io.hpp"
#include "torva/math.hpp"

namespace dovel {
namespace {

using torva::Domain;

constexpr const char* kClassDoc =
    "Domain(id, chain=None)\n--\n\nPython wrapper for Domain.\n\n"
    "Represents a protein domain with C-alpha coordinates and optional\nsecondary structure information.";

constexpr const char* kShapeError = "Coordinates must have shape (N, 3)";

// ---------------------------------------------------------------------------
// Constructors

constexpr Signature kNewSig{"Domain", {"id", "chain"}, 1};

Ref domain_new(PyObject* args, PyObject* kwargs) {
    const BoundArgs a = bind(kNewSig, args, kwargs);
    std::string id = arg_str(a[0], "id");
    const std::optional<char32_t> chain = arg_opt_chain(a[1], "chain");
    return wrap(Domain::empty(std::move(id), chain));
}

constexpr Signature kFromPdbSig{"Domain.from_pdb", {"path", "chain"}, 1};
constexpr const char* kFromPdbDoc =
    "from_pdb(path, chain=None)\n--\n\nCreates a domain from a PDB file.\n\nArgs:\n    path: Path to PDB file.\n"
    "    chain: Optional chain identifier. If None, uses first chain found.\n\nReturns:\n"
    "    Domain object with C-alpha coordinates.\n\nRaises:\n    ValueError: If the file cannot be parsed.\n"
    "    IOError: If the file cannot be read.";

// Every reader failure, a missing file included, is a parse failure to Python.
Domain read_pdb_arg(const std::string& path, std::optional<char32_t> chain) {
    return unwrap(torva::read_pdb(path, chain), PyExc_ValueError, "Failed to parse PDB: ");
}

Ref from_pdb(PyObject*, const CallArgs& call) {
    const BoundArgs a = bind(kFromPdbSig, call);
    const std::string path = arg_path(a[0], "path");
    const std::optional<char32_t> chain = arg_opt_chain(a[1], "chain");
    return wrap(read_pdb_arg(path, chain));
}

constexpr Signature kFromDsspSig{"Domain.from_dssp", {"pdb_path", "dssp_path", "chain"}, 2};
constexpr const char* kFromDsspDoc =
    "from_dssp(pdb_path, dssp_path, chain=None)\n--\n\nCreates a domain from a DSSP file.\n\n"
    "Loads both coordinates and secondary structure from DSSP.\n\nArgs:\n    path: Path to DSSP file.\n"
    "    chain: Optional chain identifier.\n\nReturns:\n    Domain object with coordinates and secondary structure.";

Ref from_dssp(PyObject*, const CallArgs& call) {
    const BoundArgs a = bind(kFromDsspSig, call);
    const std::string pdb_path = arg_path(a[0], "pdb_path");
    const std::string dssp_path = arg_path(a[1], "dssp_path");
    const std::optional<char32_t> chain = arg_opt_chain(a[2], "chain");
    Domain d = read_pdb_arg(pdb_path, chain);
    unwrap(torva::apply_dssp(d, dssp_path), PyExc_ValueError, "Failed to parse DSSP: ");
    return wrap(std::move(d));
}

constexpr Signature kFromArraysSig{"Domain.from_arrays", {"id", "coords", "sequence", "chain"}, 3};
constexpr const char* kFromArraysDoc =
    "from_arrays(id, coords, sequence, chain=None)\n--\n\nCreates a domain from coordinates and sequence.\n\n"
    "Args:\n    id: Domain identifier.\n    coords: Nx3 numpy array of C-alpha coordinates.\n"
    "    sequence: Amino acid sequence string.\n    chain: Optional chain identifier (default 'A').\n\n"
    "Returns:\n    New Domain object.";

Ref from_arrays(PyObject*, const CallArgs& call) {
    const BoundArgs a = bind(kFromArraysSig, call);
    std::string id = arg_str(a[0], "id");
    const ArrayView coords = arg_array2d(a[1], "coords");
    const std::u32string sequence = arg_u32str(a[2], "sequence");
    const std::optional<char32_t> chain = arg_opt_chain(a[3], "chain");
    if (coords.cols != 3) throw_error(PyExc_ValueError, kShapeError);
    auto d = Domain::from_arrays(std::move(id), coords.points(), sequence, chain);
    // The core's check of the sizes, in its own words without the kind prefix.
    if (!d.ok()) throw_error(PyExc_ValueError, d.error().detail());
    return wrap(std::move(d).value());
}

// ---------------------------------------------------------------------------
// Methods

constexpr Signature kLoadDsspSig{"Domain.load_dssp", {"path"}, 1};
constexpr const char* kLoadDsspDoc =
    "load_dssp($self, path)\n--\n\nLoads secondary structure from a DSSP file.\n\nArgs:\n    path: Path to DSSP file.";

Ref load_dssp(PyObject* self, const CallArgs& call) {
    const BoundArgs a = bind(kLoadDsspSig, call);
    const auto d = exclusive<Domain>(self);
    const std::string path = arg_path(a[0], "path");
    // The reader applies its entries only after the whole file was read, so a
    // failure leaves the record as it was.
    unwrap(torva::apply_dssp(*d, path), PyExc_ValueError, "Failed to parse DSSP: ");
    return Ref::borrow(Py_None);
}

constexpr Signature kToPdbSig{"Domain.to_pdb", {"path", "transform", "full"}, 1};
constexpr const char* kToPdbDoc =
    "to_pdb($self, path, transform=None, full=True)\n--\n\nWrites the domain to a PDB file.\n\n"
    "By default, writes the FULL structure (all atoms) by transforming the\n"
    "original PDB file. Set `full=False` to write only C-alpha atoms.\n\nArgs:\n    path: Output file path.\n"
    "    transform: Optional transformation to apply before writing.\n"
    "    full: If True (default), writes all atoms from original PDB.\n"
    "          If False, writes only C-alpha atoms.";

Ref to_pdb(PyObject* self, const CallArgs& call) {
    const BoundArgs a = bind(kToPdbSig, call);
    const auto d = shared<Domain>(self);
    const std::string path = arg_path(a[0], "path");
    std::optional<torva::Transform> transform;
    if (auto* t = arg_opt_instance<torva::Transform>(a[1], "transform")) transform = *shared(t);
    // `full` defaults to True, not None: None is not a bool and is refused.
    const bool full = a[2] == nullptr ? true : arg_bool(a[2], "full");
    unwrap(torva::to_pdb(*d, path, transform, full), PyExc_IOError, "Failed to write PDB: ");
    return Ref::borrow(Py_None);
}

constexpr Signature kCopySig{"Domain.copy", {}, 0};
constexpr const char* kCopyDoc = "copy($self)\n--\n\nReturns a copy of this domain.";

Ref copy(PyObject* self, const CallArgs& call) {
    bind(kCopySig, call);
    Domain d = *shared<Domain>(self);
    return wrap(std::move(d));
}

constexpr Signature kSsContentSig{"Domain.ss_content", {}, 0};
constexpr const char* kSsContentDoc =
    "ss_content($self)\n--\n\nReturns secondary structure content as (helix, strand, coil) tuple.";

Ref ss_content(PyObject* self, const CallArgs& call) {
    bind(kSsContentSig, call);
    const std::array<double, 3> c = shared<Domain>(self)->ss_content();
    return make_tuple(py_float(c[0]), py_float(c[1]), py_float(c[2]));
}

// ---------------------------------------------------------------------------
// Attributes. Getters copy out under a shared borrow; setters convert and
// check first and store under an exclusive borrow, so a failed assignment
// changes nothing.

Ref get_pdb_file(PyObject* self) { return py_str(shared<Domain>(self)->pdb_file); }

Ref get_id(PyObject* self) { return py_str(shared<Domain>(self)->id); }
void set_id(PyObject* self, PyObject* value) {
    std::string id = arg_str(value, "id");
    exclusive<Domain>(self)->id = std::move(id);
}

Ref get_chain(PyObject* self) { return py_char(shared<Domain>(self)->chain); }
void set_chain(PyObject* self, PyObject* value) {
    const char32_t chain = arg_chain(value, "chain");
    exclusive<Domain>(self)->chain = chain;
}

Ref get_sequence(PyObject* self) { return py_str(shared<Domain>(self)->sequence()); }
Ref get_secondary_structure(PyObject* self) { return py_str(shared<Domain>(self)->secondary_structure()); }
Ref get_has_dssp(PyObject* self) { return py_bool(shared<Domain>(self)->has_dssp); }

Ref get_coordinates(PyObject* self) { return coordinates_array(*shared<Domain>(self), nullptr); }
void set_coordinates(PyObject* self, PyObject* value) {
    const ArrayView coords = arg_array2d(value, "coords");
    if (coords.cols != 3) throw_error(PyExc_ValueError, kShapeError);
    const torva::PointSet points = coords.points();
    const auto d = exclusive<Domain>(self);
    if (points.size() != d->size()) {
        throw_error(PyExc_ValueError, "Expected " + std::to_string(d->size()) + " coordinates, got " +
                                          std::to_string(points.size()));
    }
    d->set_coordinates(points);
}

// ---------------------------------------------------------------------------
// Protocols

std::size_t domain_length(PyObject* self) { return shared<Domain>(self)->size(); }

// Domain(id='1abc', chain='A', n_residues=120); the identifier is not escaped.
Ref domain_repr(PyObject* self) {
    const auto d = shared<Domain>(self);
    std::string text = "Domain(id='" + d->id + "', chain='" + torva::to_utf8(d->chain) +
                       "', n_residues=" + std::to_string(d->size()) + ")";
    return py_str(text);
}

// <Domain 1abc chain A with 120 residues>
Ref domain_str(PyObject* self) {
    const auto d = shared<Domain>(self);
    std::string text = "<Domain " + d->id + " chain " + torva::to_utf8(d->chain) + " with " +
                       std::to_string(d->size()) + " residues>";
    return py_str(text);
}

PyMethodDef methods[] = {
    static_method<from_pdb>("from_pdb", kFromPdbDoc),
    static_method<from_dssp>("from_dssp", kFromDsspDoc),
    static_method<from_arrays>("from_arrays", kFromArraysDoc),
    method<load_dssp>("load_dssp", kLoadDsspDoc),
    method<to_pdb>("to_pdb", kToPdbDoc),
    method<copy>("copy", kCopyDoc),
    method<ss_content>("ss_content", kSsContentDoc),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getsets[] = {
    getset<get_pdb_file>("pdb_file", "Returns the source PDB file path."),
    getset<get_id, set_id>("id", "Returns the domain identifier."),
    getset<get_chain, set_chain>("chain", "Returns the chain identifier."),
    getset<get_sequence>("sequence", "Returns the amino acid sequence as a string."),
    getset<get_secondary_structure>("secondary_structure", "Returns the secondary structure string."),
    getset<get_has_dssp>("has_dssp", "Returns True if DSSP data has been loaded."),
    getset<get_coordinates, set_coordinates>("coordinates", "Returns C-alpha coordinates as numpy array (N x 3)."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, dealloc_slot<Domain>()},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, class_new<domain_new>()},
    {Py_tp_methods, methods},
    {Py_tp_getset, getsets},
    {Py_tp_repr, slot_repr<domain_repr>()},
    {Py_tp_str, slot_repr<domain_str>()},
    {Py_sq_length, reinterpret_cast<void*>(&length_entry<domain_length>)},
    {Py_nb_bool, reinterpret_cast<void*>(&bool_entry<domain_length>)},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.Domain", sizeof(Instance<Domain>), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

PyType_Spec* ClassSpec<torva::Domain>::spec() { return &kSpec; }

Ref coordinates_array(const torva::Domain& domain, const torva::Transform* transform) {
    double* data = nullptr;
    Ref arr = new_array({static_cast<Py_ssize_t>(domain.size()), 3}, data);
    for (const torva::Residue& r : domain.residues) {
        const torva::Point p = transform != nullptr ? transform->apply(r.coord) : r.coord;
        *data++ = p[0];
        *data++ = p[1];
        *data++ = p[2];
    }
    return arr;
}

}  // namespace dovel
