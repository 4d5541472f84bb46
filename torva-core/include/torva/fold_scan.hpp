// The database scan in fold mode: fold_align of the query against each target,
// hits ranked by the TM-score normalised by the query.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "torva/cancel.hpp"
#include "torva/database_scan.hpp"
#include "torva/domain.hpp"
#include "torva/error.hpp"

namespace torva {

// One hit: the record's score is the TM-score normalised by the query (the
// query is the fixed chain, the target the mobile one; the transform maps the
// target onto the query and maximises that score), every pair counts for the
// identity. `tm_target` is the TM-score normalised by the target and
// `distances` the pairs' distances under the transform.
struct FoldScanHit {
    ScanHitRecord record;
    double tm_target = 0.0;
    std::vector<double> distances;
};

// Every target aligned to the query with fold_align, then ranked as
// scan_database ranks (select_scan_hits: `options.score_cutoff` applies to the
// TM-score, stable sort, `options.max_hits`, ranks and Z-scores); `quick` and
// `scan_mode` are not read. The first failing target (an empty chain, a
// coordinate that is not finite) ends the scan with its error. `cancel` is
// asked before every target and inside each alignment.
Result<std::vector<FoldScanHit>> fold_scan_database(const Domain& query, std::span<const Domain> targets,
                                                    const DatabaseScanOptions& options, const Cancel& cancel = {});

}  // namespace torva
