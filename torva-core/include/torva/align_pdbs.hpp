// The whole-file pipeline: read PDB files, pre-align every structure onto a
// reference in scan mode, align them all along the guide tree and write each
// one, every atom moved, to the output directory.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "torva/cancel.hpp"
#include "torva/error.hpp"
#include "torva/scoring.hpp"
#include "torva/treewise.hpp"

namespace torva {

// Failure of align_pdbs; `message` is the final text.
struct AlignPdbsError {
    enum class Cause {
        TooFewFiles,       // fewer than two paths
        BadReference,      // reference index past the last path
        DuplicateOutput,   // two structures would be written to the same path
        Read,              // a file could not be read or parsed ("Failed to parse <path>: ...")
        PreAlignment,      // "Pre-alignment failed for <path>: ..."
        Alignment,         // "Multiple alignment failed: ..."
        CreateDirectory,   // the output directory could not be created
        Write,             // an output file could not be written
        Cancelled,
    };
    Cause cause = Cause::Read;
    std::string message;
};

// The pipeline on structures at hand: pre-align every domain but `reference`
// onto it in scan mode (ScanSettings::pairwise), then align them all. The
// result's pre_transforms are the pre-alignments; `unplaced` lists the domains
// whose pre-alignment found nothing (score not above 0: they keep their frame).
struct PreAlignedMultiple {
    MultipleAlignmentResult result;
    std::vector<std::size_t> unplaced;
};

// Where align_domains failed: the pre-alignment of domain `index`, or the
// multiple alignment (`index` then unused).
struct AlignDomainsError {
    bool pre_alignment = false;
    std::size_t index = 0;
    Error error;
};

// `domains` is taken by value: the pre-aligned copies are what the multiple
// alignment sees. `pre_aligned(k)`, when set, is called after the
// pre-alignment of domain k. Needs 2 domains or more and `reference` among
// them (InternalError otherwise). `cancel` as in align_multiple, and during
// every pre-alignment.
Result<PreAlignedMultiple, AlignDomainsError> align_domains(std::vector<Domain> domains, const Parameters& params,
                                                            std::size_t reference, const Cancel& cancel = {},
                                                            const std::function<void(std::size_t)>& pre_aligned = {});

// Checks the arguments and the output paths before any file is read; reads
// chain `chain` (absent: each file's first) of every file; pre-aligns every
// structure but `reference` onto it with ScanSettings::pairwise; aligns them
// all; writes output_dir/aligned_<stem>.pdb for each. The result carries the
// pre-alignments and the source paths. `cancel` is asked during every
// pre-alignment, between the pairwise alignments and merges, and before each
// output file; the files written before an error or a cancel stay.
Result<MultipleAlignmentResult, AlignPdbsError> align_pdbs(std::span<const std::string> paths,
                                                           const std::string& output_dir, const Parameters& params,
                                                           std::optional<char32_t> chain, std::size_t reference,
                                                           const Cancel& cancel = {});

}  // namespace torva
