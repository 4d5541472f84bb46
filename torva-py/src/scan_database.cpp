// scan_database and the ScanHit class: one query against a list of targets.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding.hpp"
#include "surfaces.hpp"
#include "torva/io.hpp"
#include "torva/database_scan.hpp"

namespace dovel {

// What a ScanHit owns: the reported values of one hit. The alignment's
// transform and pairs stay behind in the core record.
struct ScanHitEntry : torva::ScanHitReport {};

namespace {

constexpr const char* kClassDoc = "Result of a database scan hit.";

Ref optional_float(const std::optional<double>& v) { return v ? py_float(*v) : Ref::borrow(Py_None); }

Ref get_target_id(PyObject* self) { return py_str(shared<ScanHitEntry>(self)->target_id); }
Ref get_rank(PyObject* self) { return py_int(shared<ScanHitEntry>(self)->rank); }
Ref get_score(PyObject* self) { return py_float(shared<ScanHitEntry>(self)->score); }
Ref get_rmsd(PyObject* self) { return py_float(shared<ScanHitEntry>(self)->rmsd); }
Ref get_n_aligned(PyObject* self) { return py_int(shared<ScanHitEntry>(self)->n_aligned); }
Ref get_seq_identity(PyObject* self) { return py_float(shared<ScanHitEntry>(self)->seq_identity); }
Ref get_z_score(PyObject* self) { return optional_float(shared<ScanHitEntry>(self)->z_score); }
Ref get_e_value(PyObject* self) { return optional_float(shared<ScanHitEntry>(self)->e_value); }

// ScanHit(target='d1abc', rank=1, score=0.0000, rmsd=inf)
Ref scan_hit_repr(PyObject* self) {
    const auto h = shared<ScanHitEntry>(self);
    std::string text = "ScanHit(target='" + h->target_id + "', rank=" + std::to_string(h->rank);
    text += ", score=" + torva::format_fixed(h->score, 4);
    text += ", rmsd=" + torva::format_fixed(h->rmsd, 3) + ")";
    return py_str(text);
}

PyGetSetDef getsets[] = {
    getset<get_target_id>("target_id", "Target domain identifier."),
    getset<get_rank>("rank", "Rank in hit list."),
    getset<get_score>("score", "TORVA score."),
    getset<get_rmsd>("rmsd", "RMSD after superposition."),
    getset<get_n_aligned>("n_aligned", "Number of aligned positions."),
    getset<get_seq_identity>("seq_identity", "Sequence identity."),
    getset<get_z_score>("z_score", "Z-score (if computed)."),
    getset<get_e_value>("e_value", "E-value (if computed)."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_dealloc, dealloc_slot<ScanHitEntry>()},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_getset, getsets},
    {Py_tp_repr, slot_repr<scan_hit_repr>()},
    {Py_tp_str, slot_repr<scan_hit_repr>()},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.ScanHit", sizeof(Instance<ScanHitEntry>), 0,
                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};

constexpr Signature kScanSig{
    "scan_database", {"query", "targets", "params", "score_cutoff", "max_hits", "quick", "scan_mode"}, 2};

constexpr const char* kScanDoc =
    "scan_database(query, targets, params=None, score_cutoff=0.0, max_hits=100, quick=False, scan_mode=True)\n"
    "--\n\nScans a query structure against a database.\n\nArgs:\n    query: Query domain.\n"
    "    targets: List of target domains.\n    params: Optional alignment parameters.\n"
    "    score_cutoff: Minimum score for reporting hits (default 0.0).\n"
    "    max_hits: Maximum number of hits to return (default 100).\n"
    "    quick: Use quick alignment mode (default False).\n"
    "    scan_mode: Use sliding window scan for structures in different coordinate frames (default True).\n\n"
    "Returns:\n    List of ScanHit objects sorted by score.";

Ref scan_database(PyObject*, const CallArgs& call) {
    const BoundArgs a = bind(kScanSig, call);

    // Every argument is converted (and every target copied) before the first
    // alignment, so a bad argument anywhere costs no alignment work.
    const torva::Domain query = *shared(arg_instance<torva::Domain>(a[0], "query"));
    std::vector<torva::Domain> targets;
    arg_sequence(a[1], "targets",
                 [&](PyObject* item) { targets.push_back(*shared(arg_instance<torva::Domain>(item, "targets"))); });
    const torva::Parameters params = arg_parameters(a[2], "params");
    torva::DatabaseScanOptions options;
    if (a[3] != nullptr) options.score_cutoff = arg_float(a[3], "score_cutoff");
    if (a[4] != nullptr) options.max_hits = arg_index(a[4], "max_hits");
    if (a[5] != nullptr) options.quick = arg_bool(a[5], "quick");
    if (a[6] != nullptr) options.scan_mode = arg_bool(a[6], "scan_mode");

    std::vector<torva::ScanHitRecord> hits =
        unwrap(torva::scan_database(query, targets, params, options, signal_cancel()), PyExc_ValueError,
               "Scan failed: ");

    return make_list(hits.size(), [&](std::size_t k) {
        torva::ScanHitRecord& h = hits[k];
        return wrap(ScanHitEntry{std::move(static_cast<torva::ScanHitReport&>(h))});
    });
}

}  // namespace

PyType_Spec* ClassSpec<ScanHitEntry>::spec() { return &kSpec; }

PyMethodDef scan_database_def = function<scan_database>("scan_database", kScanDoc);

}  // namespace dovel
