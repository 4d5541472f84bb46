// Fuzz target for the structure file readers and writers: the bytes are
// written to a file and fed to the PDB reader, the DSSP reader and the
// whole-file transformer. Besides crashes and sanitizer reports it checks that
// whatever the writers produce is valid UTF-8 and that a C-alpha file written
// from a record reads back as the same residues.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "torva/io.hpp"

using namespace torva;

namespace {

struct Scratch {
    std::string dir;
    std::string input;
    std::string output;

    Scratch() {
        const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string tmpl = std::string(base) + "/torva-fuzz-XXXXXX";
        if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
        dir = tmpl;
        input = dir + "/in.pdb";
        output = dir + "/out.pdb";
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

Scratch& scratch() {
    static Scratch s;
    return s;
}

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_io check failed: %s\n", what);
        std::abort();
    }
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool valid_utf8(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t len = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
        if (len == 0 || c > 0xF4 || i + len > s.size()) return false;
        std::uint32_t v = len == 1 ? c : c & (0x7F >> len);
        for (std::size_t k = 1; k < len; ++k) {
            const auto b = static_cast<unsigned char>(s[i + k]);
            if ((b & 0xC0) != 0x80) return false;
            v = (v << 6) | (b & 0x3F);
        }
        if ((len == 3 && (v < 0x800 || (v >= 0xD800 && v <= 0xDFFF))) || (len == 4 && (v < 0x10000 || v > 0x10FFFF)))
            return false;
        i += len;
    }
    return true;
}

std::optional<long long> as_int(const std::string& s) {
    if (s.empty()) return std::nullopt;
    std::size_t i = (s[0] == '+' || s[0] == '-') ? 1 : 0;
    if (i == s.size() || s.size() - i > 10) return std::nullopt;
    for (std::size_t k = i; k < s.size(); ++k) {
        if (s[k] < '0' || s[k] > '9') return std::nullopt;
    }
    const long long v = std::stoll(s);
    if (v < INT32_MIN || v > INT32_MAX) return std::nullopt;
    return v;
}

// Whether a written C-alpha file must read back residue for residue: labels
// that fit columns 23-26 as plain ASCII without blanks, neighbours that the
// duplicate rule keeps apart, an ASCII chain and coordinates that fit 8 columns.
bool round_trip_expected(const Domain& d) {
    if (static_cast<std::uint32_t>(d.chain) >= 0x80 || d.chain == U'\r') return false;
    for (std::size_t i = 0; i < d.residues.size(); ++i) {
        const Residue& r = d.residues[i];
        if (r.label.size() > 4) return false;
        for (char c : r.label) {
            if (c <= ' ' || c > '~') return false;
        }
        for (double v : r.coord) {
            if (format_fixed(v, 3).size() > 8) return false;
        }
        if (i > 0) {
            const std::string& prev = d.residues[i - 1].label;
            if (prev == r.label) return false;
            const auto a = as_int(prev), b = as_int(r.label);
            if (a && b && *a == *b) return false;
        }
    }
    return true;
}

void check_round_trip(const Domain& d) {
    Scratch& s = scratch();
    check(write_ca_pdb(d, s.output, std::nullopt).ok(), "write_ca_pdb failed");
    check(valid_utf8(slurp(s.output)), "C-alpha file is not UTF-8");
    if (d.residues.empty() || !round_trip_expected(d)) return;
    auto back = read_pdb(s.output);
    check(back.ok(), "C-alpha file does not read back");
    const Domain& b = back.value();
    check(b.size() == d.size(), "C-alpha round trip changed the residue count");
    for (std::size_t i = 0; i < d.size(); ++i) {
        check(b.residues[i].label == d.residues[i].label, "C-alpha round trip changed a label");
        check(b.residues[i].amino_acid == one_letter_code(three_letter_code(d.residues[i].amino_acid)),
              "C-alpha round trip changed an amino acid");
        for (int k = 0; k < 3; ++k) {
            check(format_fixed(b.residues[i].coord[k], 3) == format_fixed(d.residues[i].coord[k], 3) ||
                      (format_fixed(d.residues[i].coord[k], 3) == "-0.000" &&
                       format_fixed(b.residues[i].coord[k], 3) == "-0.000"),
                  "C-alpha round trip changed a coordinate");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Scratch& s = scratch();
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    {
        std::ofstream out(s.input, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }

    // Pure helpers on the raw bytes.
    (void)file_stem(bytes);
    (void)one_letter_code(bytes.substr(0, 8));

    // PDB reader with and without a chain.
    auto first = read_pdb(s.input);
    auto chain_a = read_pdb(s.input, U'A');
    if (first.ok()) {
        const Domain& d = first.value();
        check(!d.residues.empty(), "read_pdb returned no residues");
        for (std::size_t i = 0; i < d.size(); ++i) check(d.residues[i].index == i, "bad residue index");
        check(valid_utf8(to_utf8(d.sequence())), "sequence not encodable");
        check_round_trip(d);
    } else {
        const ErrorKind k = first.error().kind;
        check(k == ErrorKind::Io || k == ErrorKind::PdbParse, "read_pdb error of the wrong kind");
    }

    // DSSP reader: on the record just read (or a small one), and on a record
    // that accepts every chain. A failure must leave the record unchanged.
    Domain target = first.ok() ? first.value()
                               : Domain::from_arrays("f", PointSet(5, Point{0, 0, 0}), U"ACDEF").value();
    for (char32_t chain : {target.chain, U'_'}) {
        Domain d = target;
        d.chain = chain;
        const Domain before = d;
        Status st = apply_dssp(d, s.input);
        if (st.ok()) {
            check(d.has_dssp, "apply_dssp did not set the flag");
            for (const Residue& r : d.residues) {
                check(r.secondary_structure == U'H' || r.secondary_structure == U'E' ||
                          r.secondary_structure == U'C',
                      "apply_dssp stored an unmapped code");
            }
        } else {
            check(st.error().kind == ErrorKind::Io, "apply_dssp error of the wrong kind");
            check(d.has_dssp == before.has_dssp && d.size() == before.size(), "failed apply_dssp changed the record");
            for (std::size_t i = 0; i < d.size(); ++i) {
                check(d.residues[i].secondary_structure == before.residues[i].secondary_structure &&
                          d.residues[i].accessibility == before.residues[i].accessibility,
                      "failed apply_dssp changed a residue");
            }
        }
    }

    // Whole-file transformer, with and without a chain filter.
    Transform t;
    t.rotation = {{{0.0, -1.0, 0.0}, {1.0, 0.0, 0.0}, {0.0, 0.0, 1.0}}};
    t.translation = {1.5, -2.25, 1e6};
    for (std::optional<char32_t> chain : {std::optional<char32_t>{}, std::optional<char32_t>{U'A'}}) {
        Status st = transform_pdb_file(s.input, s.output, t, chain);
        if (!st.ok()) {
            check(st.error().kind == ErrorKind::Io, "transform error of the wrong kind");
            continue;
        }
        const std::string out = slurp(s.output);
        check(valid_utf8(out), "transformed file is not UTF-8");
        check(out.empty() || out.back() == '\n', "transformed file does not end with a line end");
    }
    return 0;
}
