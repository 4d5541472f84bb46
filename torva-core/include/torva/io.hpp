// The PDB and DSSP readers and the PDB writers (the domain record is in
// domain.hpp, the text helpers in text.hpp).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "torva/cancel.hpp"
#include "torva/domain.hpp"
#include "torva/error.hpp"
#include "torva/math.hpp"
#include "torva/text.hpp"

namespace torva {

// Reads the C-alpha atoms of one chain (first model only). `chain` absent or
// '?' takes the chain of the first C-alpha line. Errors: Io, PdbParse.
Result<Domain> read_pdb(const std::string& path, std::optional<char32_t> chain = std::nullopt);

// Applies secondary structure and accessibility from a DSSP file in place.
// Only Io errors; on error the record is unchanged.
Status apply_dssp(Domain& domain, const std::string& path);

// Applies secondary structure and accessibility from DSSP text (a whole DSSP
// file, read once) to the residues of chain `chain`, checking that the file
// describes them. `labels` name the domain's residues as the file numbers them
// (residue number and insertion code, one per residue, in order; empty: the
// residues' own labels); a label held twice takes its residues in turn. Lines
// of other chains (column 12, and the full id at columns 160-163 when present)
// are skipped. Every other line must name a residue of the domain with the
// same amino acid (a lower-case DSSP letter is a bridged cysteine, X matches
// anything). Errors: DsspParse when the text is not UTF-8, has no residue
// table, names a residue the domain lacks or with another amino acid, or holds
// no line of the chain; InvalidParameter when `labels` does not fit the
// domain. On error the record is unchanged.
Status apply_dssp_text(Domain& domain, std::string_view text, std::string_view chain,
                       std::span<const std::string> labels = {});

// C-alpha-only PDB file. Io errors only.
Status write_ca_pdb(const Domain& domain, const std::string& path, const std::optional<Transform>& transform);

// Whole-file transformation: every ATOM/HETATM line of the first model moved
// by `transform`, every other line copied. Io errors only.
Status transform_pdb_file(const std::string& input_path, const std::string& output_path, const Transform& transform,
                          std::optional<char32_t> chain = std::nullopt);

// Domain.to_pdb: whole-file when `full` and the domain has a source file,
// else the C-alpha-only file.
Status to_pdb(const Domain& domain, const std::string& path, const std::optional<Transform>& transform, bool full);

// Failure of the aligned-structures writer; `message` is the final text.
struct AlignedWriteError {
    enum class Cause { CreateDirectory, NoSourceFile, DuplicateOutput, Write, Cancelled };
    Cause cause = Cause::Write;
    std::string message;
};

// Creates `dir` with all missing parents (0o777 before the umask); an existing
// directory is accepted. Error: the operating system's description.
Result<void, std::string> create_directories(const std::string& dir);

// The path write_aligned_pdbs gives structure k: output_dir/prefix+stem+".pdb"
// ("aligned_" without a prefix, "domain<k>" for a path without a file name; an
// absolute prefix replaces the directory).
std::string aligned_output_path(const std::string& output_dir, const std::optional<std::string>& prefix,
                                const std::string& source_path, std::size_t k);

// DuplicateOutput when two structures with a source file would be written to
// the same path, naming that path and both sources.
Result<void, AlignedWriteError> check_aligned_outputs(const std::string& output_dir,
                                                      const std::optional<std::string>& prefix,
                                                      std::span<const std::string> source_paths);

// Writes every structure's source file moved by compose(transforms[k],
// pre_transforms[k]) to its aligned_output_path; returns the paths written.
// Creates the directory, then checks the paths for duplicates before any file
// is written; `cancel` is asked before each file; files finished before an
// error or a cancel stay.
Result<std::vector<std::string>, AlignedWriteError> write_aligned_pdbs(
    const std::string& output_dir, const std::optional<std::string>& prefix, std::span<const Transform> transforms,
    std::span<const Transform> pre_transforms, std::span<const std::string> source_paths,
    const Cancel& cancel = {});

}  // namespace torva
