// Scan-mode initial superposition and the database scan.
#include "torva/scan.hpp"

namespace torva {

// ---------------------------------------------------------------------------
// Scan-mode superposition

ScanSettings ScanSettings::from(const Parameters&, std::size_t, double) {
    throw InternalError("scan: not built yet");
}

Result<ScanResult> scan_align(const Domain&, const Domain&, const ScanSettings&) {
    throw InternalError("scan: not built yet");
}

// ---------------------------------------------------------------------------
// Database scan

Result<std::vector<ScanHitRecord>> scan_database(const Domain&, std::span<const Domain>, const Parameters&,
                                                 const DatabaseScanOptions&) {
    throw InternalError("database scan: not built yet");
}

}  // namespace torva
