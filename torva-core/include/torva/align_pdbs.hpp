// The whole-file pipeline: read PDB files, pre-align every structure onto a
// reference in scan mode, align them all along the guide tree and write each
// one, every atom moved, to the output directory.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>

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
