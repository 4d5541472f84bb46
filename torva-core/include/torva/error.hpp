// Error values of the core: every fallible operation returns a Result holding
// either its value or an Error (kind + full message text). Broken preconditions
// inside the core are program faults and are thrown as InternalError instead.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace torva {

enum class ErrorKind {
    Io,
    PdbParse,
    DsspParse,
    DomainFile,
    InvalidParameter,
    AlignmentFailed,
    StructureTooSmall,
    NoCommonAtoms,
    Cancelled,
};

// An error value. `message` is the complete text, kind prefix included
// (for example "I/O error: No such file or directory").
struct Error {
    ErrorKind kind;
    std::string message;
    std::size_t prefix_length = 0;  // of the kind prefix ("I/O error: ") at the start of `message`

    // `message` without its kind prefix ("No such file or directory").
    std::string_view detail() const { return std::string_view(message).substr(prefix_length); }

    static Error io(const std::string& os_text) { return prefixed(ErrorKind::Io, "I/O error: ", os_text); }
    static Error pdb_parse(const std::string& m) { return prefixed(ErrorKind::PdbParse, "PDB parsing error: ", m); }
    static Error dssp_parse(const std::string& m) { return prefixed(ErrorKind::DsspParse, "DSSP parsing error: ", m); }
    static Error domain_file(const std::string& m) { return prefixed(ErrorKind::DomainFile, "Domain file error: ", m); }
    static Error invalid_parameter(const std::string& m) {
        return prefixed(ErrorKind::InvalidParameter, "Invalid parameter: ", m);
    }
    static Error alignment_failed(const std::string& m) {
        return prefixed(ErrorKind::AlignmentFailed, "Alignment failed: ", m);
    }
    static Error structure_too_small(std::size_t n, std::size_t minimum) {
        return {ErrorKind::StructureTooSmall, "Structure too small: " + std::to_string(n) + " residues (minimum " +
                                                  std::to_string(minimum) + ")"};
    }
    static Error no_common_atoms() { return {ErrorKind::NoCommonAtoms, "No common atoms for superposition"}; }
    // A long operation stopped because its Cancel asked it to (see cancel.hpp).
    static Error cancelled() { return {ErrorKind::Cancelled, "Operation cancelled"}; }

private:
    static Error prefixed(ErrorKind kind, std::string_view prefix, const std::string& detail) {
        return {kind, std::string(prefix) + detail, prefix.size()};
    }
};

// Violation of a core invariant or precondition (a program fault, not an input error).
class InternalError : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// Value-or-error. `E` defaults to the core Error.
template <class T, class E = Error>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const E& error() const { return std::get<1>(v_); }

private:
    std::variant<T, E> v_;
};

// Success-or-error for operations without a value.
template <class E>
class [[nodiscard]] Result<void, E> {
public:
    Result() = default;
    Result(E error) : err_(std::move(error)), failed_(true) {}

    bool ok() const noexcept { return !failed_; }
    explicit operator bool() const noexcept { return ok(); }
    const E& error() const { return err_; }

private:
    E err_{};
    bool failed_ = false;
};

using Status = Result<void>;

}  // namespace torva
