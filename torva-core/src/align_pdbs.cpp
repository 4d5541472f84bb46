// The whole-file pipeline of align_pdbs.
#include "torva/align_pdbs.hpp"

#include <utility>
#include <vector>

#include "torva/io.hpp"
#include "torva/scan.hpp"

namespace torva {

namespace {

using Cause = AlignPdbsError::Cause;

AlignPdbsError failure(Cause cause, std::string message) { return {cause, std::move(message)}; }

// A core error met along the way: a cancellation stays one, anything else
// becomes `cause` with `prefix` before the error's text.
AlignPdbsError failure(const Error& error, Cause cause, const std::string& prefix) {
    if (error.kind == ErrorKind::Cancelled) return failure(Cause::Cancelled, error.message);
    return failure(cause, prefix + error.message);
}

AlignPdbsError failure(const AlignedWriteError& error) {
    switch (error.cause) {
        case AlignedWriteError::Cause::CreateDirectory: return failure(Cause::CreateDirectory, error.message);
        case AlignedWriteError::Cause::DuplicateOutput: return failure(Cause::DuplicateOutput, error.message);
        case AlignedWriteError::Cause::Cancelled: return failure(Cause::Cancelled, error.message);
        case AlignedWriteError::Cause::NoSourceFile:  // every structure here has its file
        case AlignedWriteError::Cause::Write: break;
    }
    return failure(Cause::Write, error.message);
}

}  // namespace

Result<PreAlignedMultiple, AlignDomainsError> align_domains(std::vector<Domain> domains, const Parameters& params,
                                                            std::size_t reference, const Cancel& cancel,
                                                            const std::function<void(std::size_t)>& pre_aligned) {
    const std::size_t n = domains.size();
    if (n < 2 || reference >= n) throw InternalError("align_domains: needs 2 domains and a reference among them");

    // Bring every structure into the reference's frame; the multiple alignment
    // itself moves nothing.
    const ScanSettings scan = ScanSettings::pairwise(params);
    PreAlignedMultiple out;
    std::vector<Transform> pre(n, Transform::identity());
    for (std::size_t k = 0; k < n; ++k) {
        if (k == reference) continue;
        auto s = scan_align(domains[reference], domains[k], scan, nullptr, cancel);
        if (!s.ok()) return AlignDomainsError{true, k, s.error()};
        pre[k] = s.value().transform;
        if (!(s.value().score > 0.0)) out.unplaced.push_back(k);
        for (Residue& r : domains[k].residues) r.coord = pre[k].apply(r.coord);
        if (pre_aligned) pre_aligned(k);
    }

    auto aligned = align_multiple(domains, params, cancel);
    if (!aligned.ok()) return AlignDomainsError{false, 0, aligned.error()};
    out.result = std::move(aligned).value();
    out.result.pre_transforms = std::move(pre);
    return out;
}

Result<MultipleAlignmentResult, AlignPdbsError> align_pdbs(std::span<const std::string> paths,
                                                           const std::string& output_dir, const Parameters& params,
                                                           std::optional<char32_t> chain, std::size_t reference,
                                                           const Cancel& cancel) {
    const std::size_t n = paths.size();
    if (n < 2) return failure(Cause::TooFewFiles, "Need at least 2 PDB files");
    if (reference >= n) {
        return failure(Cause::BadReference, "Reference index " + std::to_string(reference) + " out of range for " +
                                                std::to_string(n) + " structures");
    }
    if (auto distinct = check_aligned_outputs(output_dir, std::nullopt, paths); !distinct) {
        return failure(distinct.error());
    }

    std::vector<Domain> domains;
    domains.reserve(n);
    for (const std::string& path : paths) {
        auto d = read_pdb(path, chain);
        if (!d.ok()) return failure(d.error(), Cause::Read, "Failed to parse " + path + ": ");
        domains.push_back(std::move(d).value());
    }

    auto aligned = align_domains(std::move(domains), params, reference, cancel);
    if (!aligned.ok()) {
        const AlignDomainsError& e = aligned.error();
        if (e.pre_alignment) {
            return failure(e.error, Cause::PreAlignment, "Pre-alignment failed for " + paths[e.index] + ": ");
        }
        return failure(e.error, Cause::Alignment, "Multiple alignment failed: ");
    }
    MultipleAlignmentResult result = std::move(aligned).value().result;
    result.source_paths.assign(paths.begin(), paths.end());

    auto written =
        write_aligned_pdbs(output_dir, std::nullopt, result.transforms, result.pre_transforms, paths, cancel);
    if (!written.ok()) return failure(written.error());
    return result;
}

}  // namespace torva
