// The domain record, the PDB and DSSP readers and the PDB writers.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "torva/cancel.hpp"
#include "torva/error.hpp"
#include "torva/math.hpp"

namespace torva {

struct Residue {
    std::string label;            // residue number text (+ insertion code), or "1", "2", ... from arrays
    Point coord{0.0, 0.0, 0.0};   // C-alpha x, y, z
    double accessibility = 0.0;
    char32_t amino_acid = U'X';   // one-letter code, as given (Unicode scalar)
    char32_t secondary_structure = U'C';
    std::uint32_t index = 0;
};

struct Domain {
    std::string id;
    std::string pdb_file;  // empty when not read from a file
    std::vector<Residue> residues;
    char32_t chain = U'A';
    bool has_dssp = false;

    static Domain empty(std::string id, std::optional<char32_t> chain = std::nullopt);
    // Fails with InvalidParameter when the sizes differ.
    static Result<Domain> from_arrays(std::string id, std::span<const Point> coords, std::u32string_view sequence,
                                      std::optional<char32_t> chain = std::nullopt);

    std::size_t size() const { return residues.size(); }
    std::u32string sequence() const;
    std::u32string secondary_structure() const;
    PointSet coordinates() const;
    // Precondition: points.size() == size() (InternalError otherwise).
    void set_coordinates(std::span<const Point> points);
    // (helix, strand, coil) fractions; G/H/I helix, B/E strand, anything else coil.
    std::array<double, 3> ss_content() const;
};

// File stem by the reader's identifier rule; nullopt when the path has no file name.
std::optional<std::string> file_stem(std::string_view path);

char32_t one_letter_code(std::string_view residue_name);
// Three-letter name written for a one-letter code (UNK outside A-Z).
std::string_view three_letter_code(char32_t one_letter);

// Reads the C-alpha atoms of one chain (first model only). `chain` absent or
// '?' takes the chain of the first C-alpha line. Errors: Io, PdbParse.
Result<Domain> read_pdb(const std::string& path, std::optional<char32_t> chain = std::nullopt);

// Applies secondary structure and accessibility from a DSSP file in place.
// Only Io errors; on error the record is unchanged.
Status apply_dssp(Domain& domain, const std::string& path);

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

// Fixed-point text with `decimals` digits, correctly rounded from the exact
// double; keeps the sign of a negative zero; "NaN", "inf", "-inf".
std::string format_fixed(double value, int decimals);
// The fewest significant digits that read back to `value`, written without an
// exponent (2.0 -> "2", 1e-7 -> "0.0000001", 2^60 -> "1152921504606847000");
// "NaN", "inf", "-inf".
std::string format_shortest(double value);

// UTF-8 helpers shared by the readers and the binding.
std::string to_utf8(std::u32string_view text);
std::string to_utf8(char32_t c);

}  // namespace torva
