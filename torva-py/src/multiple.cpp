// Multiple alignment from Python: multiple_align, the MultipleAlignmentResult
// class, transform_pdb_file, and the whole-file pipeline align_pdbs.
#include <optional>
#include <string>
#include <vector>

#include "binding.hpp"
#include "surfaces.hpp"
#include "torva/align_pdbs.hpp"
#include "torva/io.hpp"
#include "torva/treewise.hpp"

namespace dovel {
namespace {

using torva::MultipleAlignmentResult;
using torva::Transform;

// Maps a failure of the aligned-structures writer to its exception.
[[noreturn]] void throw_write_error(const torva::AlignedWriteError& e) {
    using Cause = torva::AlignedWriteError::Cause;
    if (e.cause == Cause::Cancelled && PyErr_Occurred() != nullptr) throw_pending();
    const bool value_error = e.cause == Cause::NoSourceFile || e.cause == Cause::DuplicateOutput;
    throw_error(value_error ? PyExc_ValueError : PyExc_OSError, e.message);
}

// ---------------------------------------------------------------------------
// MultipleAlignmentResult

constexpr const char* kClassDoc = "Python wrapper for multiple alignment result.";

constexpr Signature kGetTransformSig{"MultipleAlignmentResult.get_transform", {"index"}, 1};
constexpr const char* kGetTransformDoc =
    "get_transform($self, index)\n--\n\nReturns the transformation for a specific domain.";

Ref get_transform(PyObject* self, const CallArgs& call) {
    const BoundArgs a = bind(kGetTransformSig, call);
    const std::size_t index = arg_index(a[0], "index");
    const auto r = shared<MultipleAlignmentResult>(self);
    if (index >= r->transforms.size()) {
        throw_error(PyExc_ValueError, "Invalid domain index: " + std::to_string(index));
    }
    return wrap(r->transforms[index]);
}

Ref transform_list(const std::vector<Transform>& ts) {
    return make_list(ts.size(), [&](std::size_t k) { return wrap(ts[k]); });
}

Ref get_transforms(PyObject* self) { return transform_list(shared<MultipleAlignmentResult>(self)->transforms); }

Ref get_core_positions(PyObject* self) {
    const auto r = shared<MultipleAlignmentResult>(self);
    return make_list(r->core_positions.size(), [&](std::size_t k) { return py_int(r->core_positions[k]); });
}

Ref get_columns(PyObject* self) {
    const auto r = shared<MultipleAlignmentResult>(self);
    return make_list(r->columns.size(), [&](std::size_t c) {
        const torva::Column& col = r->columns[c];
        return make_list(col.size(), [&](std::size_t k) { return col[k] ? py_int(*col[k]) : Ref::borrow(Py_None); });
    });
}

Ref get_full_transforms(PyObject* self) {
    return transform_list(shared<MultipleAlignmentResult>(self)->full_transforms());
}

constexpr Signature kWriteAllSig{"MultipleAlignmentResult.write_all", {"output_dir", "prefix"}, 1};
constexpr const char* kWriteAllDoc =
    "write_all($self, output_dir, prefix=None)\n--\n\nWrites all aligned structures as full PDB files to the "
    "specified directory.\n\nArgs:\n    output_dir: Directory to write aligned PDB files.\n    prefix: Optional "
    "prefix for output filenames (default \"aligned_\").\n\nReturns:\n    List of output file paths.";

Ref write_all(PyObject* self, const CallArgs& call) {
    const BoundArgs a = bind(kWriteAllSig, call);
    const std::string output_dir = arg_path(a[0], "output_dir");
    std::optional<std::string> prefix;
    if (!is_absent(a[1])) prefix = arg_path(a[1], "prefix");
    const auto r = shared<MultipleAlignmentResult>(self);
    auto written = torva::write_aligned_pdbs(output_dir, prefix, r->transforms, r->pre_transforms, r->source_paths,
                                             signal_cancel());
    if (!written.ok()) throw_write_error(written.error());
    const std::vector<std::string>& paths = written.value();
    return make_list(paths.size(), [&](std::size_t k) { return py_str(paths[k]); });
}

Ref get_avg_rmsd(PyObject* self) { return py_float(shared<MultipleAlignmentResult>(self)->avg_rmsd); }
Ref get_score(PyObject* self) { return py_float(shared<MultipleAlignmentResult>(self)->score); }
Ref get_n_columns(PyObject* self) { return py_int(shared<MultipleAlignmentResult>(self)->n_columns()); }
Ref get_n_core(PyObject* self) { return py_int(shared<MultipleAlignmentResult>(self)->n_core()); }

Ref result_repr(PyObject* self) {
    const auto r = shared<MultipleAlignmentResult>(self);
    std::string text = "MultipleAlignmentResult(n_structures=" + std::to_string(r->transforms.size()) +
                       ", n_columns=" + std::to_string(r->n_columns()) + ", n_core=" + std::to_string(r->n_core()) +
                       ", avg_rmsd=" + torva::format_fixed(r->avg_rmsd, 3) + ")";
    return py_str(text);
}

PyMethodDef result_methods[] = {
    method<get_transform>("get_transform", kGetTransformDoc),
    method<write_all>("write_all", kWriteAllDoc),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef result_getsets[] = {
    getset<get_transforms>("transforms", "Returns all transformations as a list."),
    getset<get_core_positions>("core_positions", "Returns core position indices."),
    getset<get_columns>("columns",
                        "Returns alignment columns as list of lists.\n\nEach column is a list where element i is the "
                        "residue index for\ndomain i, or None if that domain has a gap at this position."),
    getset<get_full_transforms>("full_transforms",
                                "Returns the full composed transforms (pre-alignment + MSA refinement).\n\nThese "
                                "transforms can be applied directly to the original PDB files\nto get the final "
                                "aligned structures."),
    getset<get_avg_rmsd>("avg_rmsd", "Average pairwise RMSD."),
    getset<get_score>("score", "Overall alignment score."),
    getset<get_n_columns>("n_columns", "Number of alignment columns."),
    getset<get_n_core>("n_core", "Number of core positions (all structures present)."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_dealloc, dealloc_slot<MultipleAlignmentResult>()},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_methods, result_methods},
    {Py_tp_getset, result_getsets},
    {Py_tp_repr, slot_repr<result_repr>()},
    {Py_tp_str, slot_repr<result_repr>()},
    {0, nullptr},
};

PyType_Spec kResultSpec = {"builtins.MultipleAlignmentResult", sizeof(Instance<MultipleAlignmentResult>), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, result_slots};

// ---------------------------------------------------------------------------
// multiple_align

constexpr Signature kMultipleSig{"multiple_align", {"domains", "params", "pre_transforms"}, 1};
constexpr const char* kMultipleDoc =
    "multiple_align(domains, params=None, pre_transforms=None)\n--\n\nPerforms multiple structure alignment.\n\n"
    "Args:\n    domains: List of Domain objects to align.\n    params: Optional alignment parameters.\n"
    "    pre_transforms: Optional list of pre-alignment transforms. If provided,\n"
    "                    these will be composed with MSA transforms for full output.\n\n"
    "Returns:\n    MultipleAlignmentResult with transformations and alignment.\n\n"
    "Raises:\n    ValueError: If alignment fails or fewer than 2 domains provided.";

Ref multiple_align(PyObject*, const CallArgs& call) {
    const BoundArgs a = bind(kMultipleSig, call);
    // Each domain stays borrowed (and alive) until the call returns.
    std::vector<Ref> items;
    std::vector<Shared<torva::Domain>> borrows;
    arg_sequence(a[0], "domains", [&](PyObject* item) {
        Instance<torva::Domain>* inst = arg_instance<torva::Domain>(item, "domains");
        items.push_back(Ref::borrow(item));
        borrows.push_back(shared(inst));
    });
    const torva::Parameters params = arg_parameters(a[1], "params");
    std::optional<std::vector<Transform>> pre;
    if (!is_absent(a[2])) {
        pre.emplace();
        arg_sequence(a[2], "pre_transforms", [&](PyObject* item) {
            pre->push_back(*shared(arg_instance<Transform>(item, "pre_transforms")));
        });
    }
    if (borrows.size() < 2) throw_error(PyExc_ValueError, "Need at least 2 domains for multiple alignment");

    std::vector<torva::Domain> domains;
    std::vector<std::string> sources;
    domains.reserve(borrows.size());
    sources.reserve(borrows.size());
    for (const auto& d : borrows) {
        domains.push_back(*d);
        sources.push_back(d->pdb_file);
    }
    MultipleAlignmentResult result = unwrap(torva::align_multiple(domains, params, signal_cancel()),
                                            PyExc_ValueError, "Multiple alignment failed: ");
    result.pre_transforms = pre ? std::move(*pre) : std::vector<Transform>(domains.size(), Transform::identity());
    result.source_paths = std::move(sources);
    return wrap(std::move(result));
}

// ---------------------------------------------------------------------------
// transform_pdb_file

constexpr Signature kTransformPdbSig{"transform_pdb_file", {"input_path", "output_path", "transform", "chain"}, 3};
constexpr const char* kTransformPdbDoc =
    "transform_pdb_file(input_path, output_path, transform, chain=None)\n--\n\n"
    "Transforms an entire PDB file by applying a rigid body transformation.\n\n"
    "Unlike `Domain.to_pdb()` which only outputs C-alpha atoms, this function\n"
    "reads the original PDB file and transforms ALL atoms (backbone, side chains,\n"
    "waters, ligands, etc.), preserving all other information in the file.\n\n"
    "This is useful when you want to output the full structure after computing\n"
    "an alignment based on C-alpha atoms.\n\n"
    "Args:\n    input_path: Path to the input PDB file.\n    output_path: Path to write the transformed PDB file.\n"
    "    transform: The transformation to apply (from alignment result).\n"
    "    chain: Optional chain filter; if specified, only transform atoms from this chain.\n\n"
    "Raises:\n    IOError: If the input file cannot be read or output file cannot be written.\n\n"
    "Example:\n    >>> result = dovel.pairwise_align(domain1, domain2)\n"
    "    >>> # Transform the full PDB file (all atoms) using the computed alignment\n"
    "    >>> dovel.transform_pdb_file(\"mobile.pdb\", \"mobile_aligned.pdb\", result.transform)";

Ref transform_pdb_file(PyObject*, const CallArgs& call) {
    const BoundArgs a = bind(kTransformPdbSig, call);
    const std::string input = arg_path(a[0], "input_path");
    const std::string output = arg_path(a[1], "output_path");
    const Transform transform = *shared(arg_instance<Transform>(a[2], "transform"));
    const std::optional<char32_t> chain = arg_opt_chain(a[3], "chain");
    unwrap(torva::transform_pdb_file(input, output, transform, chain), PyExc_OSError, "Failed to transform PDB: ");
    return Ref::borrow(Py_None);
}

// ---------------------------------------------------------------------------
// align_pdbs

constexpr Signature kAlignPdbsSig{
    "align_pdbs", {"pdb_files", "output_dir", "params", "chain", "reference_index"}, 2};
constexpr const char* kAlignPdbsDoc =
    "align_pdbs(pdb_files, output_dir, params=None, chain=None, reference_index=0)\n--\n\n"
    "Aligns multiple structures with automatic pre-alignment and full PDB output.\n\n"
    "This is the recommended high-level API that handles:\n"
    "- Initial pre-alignment (scan mode for structures in different coordinate frames)\n"
    "- Multiple structure alignment\n- Automatic transform composition\n- Full PDB output with all atoms\n\n"
    "Args:\n    pdb_files: List of PDB file paths to align.\n    output_dir: Directory for output aligned PDB files.\n"
    "    params: Optional alignment parameters.\n"
    "    chain: Optional chain to extract from each PDB (default: first chain found).\n"
    "    reference_index: Index of reference structure (default 0).\n\n"
    "Returns:\n    MultipleAlignmentResult with full transforms and output file paths.";

Ref align_pdbs(PyObject*, const CallArgs& call) {
    const BoundArgs a = bind(kAlignPdbsSig, call);
    std::vector<std::string> paths;
    arg_sequence(a[0], "pdb_files", [&](PyObject* item) { paths.push_back(arg_path(item, "pdb_files")); });
    const std::string output_dir = arg_path(a[1], "output_dir");
    const torva::Parameters params = arg_parameters(a[2], "params");
    const std::optional<char32_t> chain = arg_opt_chain(a[3], "chain");
    const std::size_t ref = a[4] == nullptr ? 0 : arg_index(a[4], "reference_index");

    auto result = torva::align_pdbs(paths, output_dir, params, chain, ref, signal_cancel());
    if (!result.ok()) {
        using Cause = torva::AlignPdbsError::Cause;
        const torva::AlignPdbsError& e = result.error();
        if (e.cause == Cause::Cancelled && PyErr_Occurred() != nullptr) throw_pending();
        const bool os_error = e.cause == Cause::CreateDirectory || e.cause == Cause::Write;
        throw_error(os_error ? PyExc_OSError : PyExc_ValueError, e.message);
    }
    return wrap(std::move(result).value());
}

}  // namespace

PyType_Spec* ClassSpec<MultipleAlignmentResult>::spec() { return &kResultSpec; }

PyMethodDef multiple_align_def = function<multiple_align>("multiple_align", kMultipleDoc);
PyMethodDef transform_pdb_file_def = function<transform_pdb_file>("transform_pdb_file", kTransformPdbDoc);
PyMethodDef align_pdbs_def = function<align_pdbs>("align_pdbs", kAlignPdbsDoc);

}  // namespace dovel
