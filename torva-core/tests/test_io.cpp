#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>

#include "torva/io.hpp"
#include "test_support.hpp"

using namespace torva;

TEST(Format, FixedRoundsFromTheExactValue) {
    EXPECT_EQ(format_fixed(11.639, 3), "11.639");
    EXPECT_EQ(format_fixed(-1234.5678, 3), "-1234.568");
    EXPECT_EQ(format_fixed(0.0005, 3), "0.001");   // 0.0005 is slightly above the half
    EXPECT_EQ(format_fixed(1.0005, 3), "1.000");   // 1.0005 is slightly below it
    EXPECT_EQ(format_fixed(2.5, 0), "2");          // ties to even on exact halves
    EXPECT_EQ(format_fixed(1000000.0, 3), "1000000.000");
    EXPECT_EQ(format_fixed(1e300, 0).size(), 301u);
}

TEST(Format, FixedKeepsNegativeZeroAndSpecials) {
    EXPECT_EQ(format_fixed(-0.0, 3), "-0.000");
    EXPECT_EQ(format_fixed(-0.0001, 3), "-0.000");
    EXPECT_EQ(format_fixed(std::nan(""), 3), "NaN");
    EXPECT_EQ(format_fixed(-std::nan(""), 3), "NaN");
    EXPECT_EQ(format_fixed(std::numeric_limits<double>::infinity(), 3), "inf");
    EXPECT_EQ(format_fixed(-std::numeric_limits<double>::infinity(), 3), "-inf");
}

TEST(Format, ShortestNeverUsesExponent) {
    EXPECT_EQ(format_shortest(2.0), "2");
    EXPECT_EQ(format_shortest(0.5), "0.5");
    EXPECT_EQ(format_shortest(0.1), "0.1");
    EXPECT_EQ(format_shortest(1e-7), "0.0000001");
    EXPECT_EQ(format_shortest(-3.25), "-3.25");
    EXPECT_EQ(format_shortest(1e21), "1000000000000000000000");
    EXPECT_EQ(format_shortest(std::nan("")), "NaN");
    EXPECT_EQ(format_shortest(std::numeric_limits<double>::infinity()), "inf");
    EXPECT_EQ(format_shortest(-std::numeric_limits<double>::infinity()), "-inf");
    const double tiny = std::numeric_limits<double>::denorm_min();
    const std::string t = format_shortest(tiny);
    EXPECT_EQ(t.find('e'), std::string::npos);
    EXPECT_EQ(std::strtod(t.c_str(), nullptr), tiny);
}

TEST(Format, ShortestIntegralValuesStopAtTheirShortestDigits) {
    EXPECT_EQ(format_shortest(1152921504606846976.0), "1152921504606847000");  // 2^60
    EXPECT_EQ(format_shortest(-1152921504606846976.0), "-1152921504606847000");
    EXPECT_EQ(format_shortest(DBL_MAX), "17976931348623157" + std::string(292, '0'));
    EXPECT_EQ(format_shortest(1e23), "1" + std::string(23, '0'));
    EXPECT_EQ(format_shortest(123456789012345678.0), "123456789012345680");
    EXPECT_EQ(format_shortest(9007199254740993.0), "9007199254740992");  // 2^53 + 1 rounds to 2^53
    EXPECT_EQ(format_shortest(0.0), "0");
    EXPECT_EQ(format_shortest(-0.0), "-0");
    // Whatever has no more integer digits than significant ones prints as the
    // fixed-notation shortest form.
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> exponent(-12.0, 16.0);
    for (int k = 0; k < 20000; ++k) {
        const double v = std::pow(10.0, exponent(rng)) * (k % 2 ? -1.0 : 1.0);
        char buf[400];
        const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
        ASSERT_EQ(ec, std::errc{});
        ASSERT_EQ(format_shortest(v), std::string(buf, end)) << v;
        ASSERT_EQ(std::strtod(format_shortest(v).c_str(), nullptr), v);
    }
}

TEST(Utf8, EncodesScalarsAndReplacesNonScalars) {
    EXPECT_EQ(to_utf8(U'A'), "A");
    EXPECT_EQ(to_utf8(U'\u00e9'), "\xc3\xa9");
    EXPECT_EQ(to_utf8(U'\u20ac'), "\xe2\x82\xac");
    EXPECT_EQ(to_utf8(U'\U0001F600'), "\xf0\x9f\x98\x80");
    EXPECT_EQ(to_utf8(static_cast<char32_t>(0xD800)), "\xef\xbf\xbd");
    EXPECT_EQ(to_utf8(static_cast<char32_t>(0x110000)), "\xef\xbf\xbd");
    EXPECT_EQ(to_utf8(std::u32string_view(U"a\u00e9b")), "a\xc3\xa9" "b");
}

TEST(DomainRecord, EmptyAndFromArrays) {
    Domain e = Domain::empty("x");
    EXPECT_EQ(e.chain, U'A');
    EXPECT_EQ(e.size(), 0u);
    EXPECT_TRUE(e.pdb_file.empty());
    EXPECT_FALSE(e.has_dssp);
    EXPECT_EQ(e.ss_content(), (std::array<double, 3>{0.0, 0.0, 0.0}));
    EXPECT_EQ(Domain::empty("x", U'B').chain, U'B');

    const PointSet pts{{0, 0, 0}, {1, 2, 3}, {4, 5, 6}};
    auto r = Domain::from_arrays("t", pts, U"acd");
    ASSERT_TRUE(r.ok());
    const Domain& d = r.value();
    EXPECT_EQ(d.sequence(), U"acd");
    EXPECT_EQ(d.secondary_structure(), U"CCC");
    EXPECT_EQ(d.coordinates(), pts);
    EXPECT_EQ(d.chain, U'A');
    ASSERT_EQ(d.size(), 3u);
    for (std::uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(d.residues[i].label, std::to_string(i + 1));
        EXPECT_EQ(d.residues[i].index, i);
        EXPECT_EQ(d.residues[i].accessibility, 0.0);
    }
    EXPECT_EQ(d.ss_content(), (std::array<double, 3>{0.0, 0.0, 1.0}));

    auto bad = Domain::from_arrays("t", pts, U"AC");
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().kind, ErrorKind::InvalidParameter);
    EXPECT_EQ(bad.error().message, "Invalid parameter: Number of coordinates must match sequence length");
    EXPECT_EQ(bad.error().detail(), "Number of coordinates must match sequence length");
    EXPECT_EQ(Error::io("Is a directory").detail(), "Is a directory");
    EXPECT_EQ(Error::cancelled().detail(), "Operation cancelled");
    auto none = Domain::from_arrays("t", {}, U"");
    ASSERT_TRUE(none.ok());
    EXPECT_EQ(none.value().size(), 0u);
}

TEST(DomainRecord, CoordinatesAndContent) {
    auto r = Domain::from_arrays("t", PointSet(5, Point{0, 0, 0}), U"AAAAA");
    ASSERT_TRUE(r.ok());
    Domain d = r.value();
    const char32_t ss[] = {U'H', U'H', U'E', U'E', U'C'};
    for (int i = 0; i < 5; ++i) d.residues[i].secondary_structure = ss[i];
    auto c = d.ss_content();
    EXPECT_DOUBLE_EQ(c[0], 0.4);
    EXPECT_DOUBLE_EQ(c[1], 0.4);
    EXPECT_DOUBLE_EQ(c[2], 0.2);
    const char32_t raw[] = {U'G', U'I', U'B', U'T', U'S'};
    for (int i = 0; i < 5; ++i) d.residues[i].secondary_structure = raw[i];
    c = d.ss_content();
    EXPECT_DOUBLE_EQ(c[0], 0.4);
    EXPECT_DOUBLE_EQ(c[1], 0.2);
    EXPECT_DOUBLE_EQ(c[2], 0.4);

    PointSet moved(5, Point{1, 2, 3});
    d.set_coordinates(moved);
    EXPECT_EQ(d.coordinates(), moved);
    EXPECT_THROW(d.set_coordinates(PointSet(4)), InternalError);
}

// ---------------------------------------------------------------------------
// Files

namespace {

using torva::test::data_path;
std::string data_file(const std::string& name) { return data_path(name); }

class IoFiles : public torva::test::TempDirTest {
protected:
    std::string write(const std::string& name, const std::string& content) const {
        const std::string p = path(name);
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }

    static std::vector<std::string> lines_of(const std::string& text) {
        std::vector<std::string> out;
        std::istringstream in(text);
        for (std::string l; std::getline(in, l);) out.push_back(l);
        return out;
    }
};

// A C-alpha ATOM line in the standard column layout (exactly 54 bytes up to z,
// followed by occupancy, B-factor and element).
std::string ca(const std::string& num, char chain = 'A', const std::string& name = "ALA", char alt = ' ',
               char ins = ' ', double x = 1.0, double y = 2.0, double z = 3.0, const std::string& record = "ATOM  ") {
    char buf[128];
    std::snprintf(buf, sizeof buf, "%-6s%5d  CA %c%-3s %c%4s%c   %8.3f%8.3f%8.3f  1.00  0.00           C\n",
                  record.c_str(), 1, alt, name.c_str(), chain, num.c_str(), ins, x, y, z);
    return buf;
}

std::vector<std::string> labels(const Domain& d) {
    std::vector<std::string> out;
    for (const Residue& r : d.residues) out.push_back(r.label);
    return out;
}

std::string seq(const Domain& d) { return to_utf8(d.sequence()); }

}  // namespace

TEST(Names, FileStem) {
    EXPECT_EQ(file_stem("/data/1abc.pdb"), "1abc");
    EXPECT_EQ(file_stem("rel/2xyz.ent"), "2xyz");
    EXPECT_EQ(file_stem("/data/.hidden"), ".hidden");
    EXPECT_EQ(file_stem(".pdb"), ".pdb");
    EXPECT_EQ(file_stem("1abc"), "1abc");
    EXPECT_EQ(file_stem("x.tar.gz"), "x.tar");
    EXPECT_EQ(file_stem("x."), "x");
    EXPECT_EQ(file_stem("/a/b.pdb/"), "b");
    EXPECT_EQ(file_stem("a/./"), "a");
    EXPECT_EQ(file_stem("/"), std::nullopt);
    EXPECT_EQ(file_stem("/a/.."), std::nullopt);
    EXPECT_EQ(file_stem(""), std::nullopt);
    EXPECT_EQ(file_stem("."), std::nullopt);
    // Only separators and "." components: the root, which has no file name.
    EXPECT_EQ(file_stem("//"), std::nullopt);
    EXPECT_EQ(file_stem("/./"), std::nullopt);
    EXPECT_EQ(file_stem("//x.pdb"), "x");
}

TEST(Names, ResidueCodes) {
    EXPECT_EQ(one_letter_code("ALA"), U'A');
    EXPECT_EQ(one_letter_code("ala"), U'A');
    EXPECT_EQ(one_letter_code(" DA"), U'A');
    EXPECT_EQ(one_letter_code("  A"), U'A');
    EXPECT_EQ(one_letter_code("dt"), U'T');
    EXPECT_EQ(one_letter_code("MSE"), U'M');
    EXPECT_EQ(one_letter_code("SEC"), U'U');
    EXPECT_EQ(one_letter_code("PYL"), U'O');
    EXPECT_EQ(one_letter_code("XLE"), U'J');
    EXPECT_EQ(one_letter_code("URA"), U'U');
    EXPECT_EQ(one_letter_code("UNK"), U'X');
    EXPECT_EQ(one_letter_code("HOH"), U'X');
    EXPECT_EQ(one_letter_code("B"), U'X');
    EXPECT_EQ(one_letter_code("DU"), U'X');
    EXPECT_EQ(one_letter_code("ALAA"), U'X');
    EXPECT_EQ(one_letter_code("   "), U'X');
    EXPECT_EQ(one_letter_code("\xc3\x84LA"), U'X');

    const std::string expected = "ALA ASX CYS ASP GLU PHE GLY HIS ILE XLE LYS LEU MET ASN PYL PRO GLN ARG SER THR SEC "
                                 "VAL TRP UNK TYR GLX";
    std::string got;
    for (char32_t c = U'A'; c <= U'Z'; ++c) {
        got += std::string(three_letter_code(c)) + (c == U'Z' ? "" : " ");
        // Every name maps back to its letter.
        EXPECT_EQ(one_letter_code(three_letter_code(c)), c);
    }
    EXPECT_EQ(got, expected);
    EXPECT_EQ(three_letter_code(U'a'), "ALA");
    EXPECT_EQ(three_letter_code(U'*'), "UNK");
    EXPECT_EQ(three_letter_code(U'1'), "UNK");
    EXPECT_EQ(three_letter_code(U'\u00c4'), "UNK");
}

TEST_F(IoFiles, PdbChainSelection) {
    const std::string p = write("c.pdb", "HEADER    TEST\n" + ca("1", 'B', "GLY") + ca("2", 'B', "SER") +
                                             ca("1", 'C', "TRP") + "END\n");
    auto d = read_pdb(p);
    ASSERT_TRUE(d.ok()) << d.error().message;
    EXPECT_EQ(d.value().chain, U'B');
    EXPECT_EQ(seq(d.value()), "GS");
    EXPECT_EQ(d.value().id, "c");
    EXPECT_EQ(d.value().pdb_file, p);
    EXPECT_FALSE(d.value().has_dssp);

    auto q = read_pdb(p, U'?');
    ASSERT_TRUE(q.ok());
    EXPECT_EQ(q.value().chain, U'B');
    EXPECT_EQ(seq(q.value()), "GS");

    auto c = read_pdb(p, U'C');
    ASSERT_TRUE(c.ok());
    EXPECT_EQ(seq(c.value()), "W");
    EXPECT_EQ(c.value().residues[0].index, 0u);

    auto a = read_pdb(p, U'A');
    ASSERT_FALSE(a.ok());
    EXPECT_EQ(a.error().kind, ErrorKind::PdbParse);
    EXPECT_EQ(a.error().message, "PDB parsing error: No C-alpha atoms found in chain 'A' of " + p);
}

TEST_F(IoFiles, PdbAlternateLocations) {
    std::string text;
    const char alts[] = {' ', 'A', '1', 'L', 'O', 'B', '2'};
    int n = 1;
    for (char alt : alts) text += ca(std::to_string(n++), 'A', "ALA", alt);
    text += ca("10", 'A', "PRO", 'A', ' ', 5, 5, 5) + ca("10", 'A', "SER", 'B', ' ', 9, 9, 9);
    auto d = read_pdb(write("alt.pdb", text));
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(labels(d.value()), (std::vector<std::string>{"1", "2", "3", "4", "5", "10"}));
    EXPECT_EQ(d.value().residues.back().amino_acid, U'P');
    EXPECT_EQ(d.value().residues.back().coord, (Point{5, 5, 5}));
}

TEST_F(IoFiles, PdbDuplicatesAndLabels) {
    // Consecutive copies collapse to the first; a number seen again later is read again.
    std::string text = ca("7", 'A', "ALA", ' ', ' ', 1, 1, 1) + ca("7", 'A', "GLY", ' ', ' ', 2, 2, 2) +
                       ca("8") + ca("7", 'A', "CYS") + ca("52") + ca("52", 'A', "ALA", ' ', 'A') +
                       ca("52", 'A', "ALA", ' ', 'B') + ca("-5") + ca("abc") + ca("") + ca("007") + ca("+7");
    auto d = read_pdb(write("dup.pdb", text));
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(labels(d.value()),
              (std::vector<std::string>{"7", "8", "7", "52", "52A", "52B", "-5", "abc", "", "007"}));
    EXPECT_EQ(d.value().residues[0].amino_acid, U'A');
    EXPECT_EQ(d.value().residues[0].coord, (Point{1, 1, 1}));
    for (std::uint32_t i = 0; i < d.value().size(); ++i) EXPECT_EQ(d.value().residues[i].index, i);
}

TEST_F(IoFiles, PdbNonIntegerNumbersAreComparedAsText) {
    // Hybrid-36 numbers and numbers carrying their insertion code inside
    // columns 23-26 (as the C-alpha writer puts them) are all distinct residues.
    std::string text = ca("A000") + ca("A001") + ca("A001") + ca("52A") + ca("52B") + ca("abc") + ca("abc");
    auto d = read_pdb(write("h36.pdb", text));
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(labels(d.value()), (std::vector<std::string>{"A000", "A001", "52A", "52B", "abc"}));
    // A number that is not an integer never equals one that is, even if it once counted as 0.
    auto z = read_pdb(write("zero.pdb", ca("abc") + ca("0") + ca("0")));
    ASSERT_TRUE(z.ok());
    EXPECT_EQ(labels(z.value()), (std::vector<std::string>{"abc", "0"}));
}

TEST_F(IoFiles, PdbRecordFilters) {
    std::string text = ca("1", 'A', "MSE", ' ', ' ', 1, 2, 3, "HETATM") + ca("2", 'A', "MSE") +
                       "ATOM      3  CB  ALA A   3       1.000   2.000   3.000  1.00  0.00           C\n" +
                       "ATOM      4  CA  ALA A   4       1.000   2.000   3.000\n" +  // exactly 54 bytes
                       "ATOM      5  CA  ALA A   5       1.000   2.000   3.00\n" +   // 53 bytes
                       "ATOMX     6  CA  ALA A   6       1.000   2.000   3.000\n";
    auto d = read_pdb(write("f.pdb", text));
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(labels(d.value()), (std::vector<std::string>{"2", "4", "6"}));
    EXPECT_EQ(seq(d.value()), "MAA");
}

TEST_F(IoFiles, PdbModelsAndEnd) {
    std::string text = "ENDMDL\nMODEL        1\n" + ca("1") + "END\n" + ca("2") + "ENDMDL\nMODEL        2\n" +
                       ca("3") + "ENDMDL\n";
    auto d = read_pdb(write("m.pdb", text));
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(labels(d.value()), (std::vector<std::string>{"1", "2"}));

    auto e = read_pdb(write("e.pdb", ca("1") + "END   \n" + ca("2")));
    ASSERT_TRUE(e.ok());
    EXPECT_EQ(labels(e.value()), (std::vector<std::string>{"1"}));
    // A padded END before any atom is skipped.
    auto s = read_pdb(write("s.pdb", "END      \n" + ca("1")));
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(labels(s.value()), (std::vector<std::string>{"1"}));
}

TEST_F(IoFiles, PdbLineEnds) {
    std::string a = ca("1"), b = ca("2"), c = ca("3");
    a.replace(a.size() - 1, 1, "\r\n");
    b.replace(b.size() - 1, 1, "\r\n");
    c.pop_back();  // last line without a terminator
    auto d = read_pdb(write("crlf.pdb", a + b + c));
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(labels(d.value()), (std::vector<std::string>{"1", "2", "3"}));
    // A line of exactly 54 bytes plus "\r\n" is still 54 bytes long.
    auto e = read_pdb(write("crlf54.pdb", "ATOM      4  CA  ALA A   4       1.000   2.000   3.000\r\n"));
    ASSERT_TRUE(e.ok());
    EXPECT_EQ(e.value().residues[0].coord, (Point{1, 2, 3}));
}

TEST_F(IoFiles, PdbLongLinesSpanningBuffers) {
    // Lines longer than the read buffer, and atom lines straddling buffer ends.
    std::string text = "REMARK " + std::string(20000, 'x') + "\n";
    for (int i = 1; i <= 500; ++i) text += ca(std::to_string(i));
    auto d = read_pdb(write("long.pdb", text));
    ASSERT_TRUE(d.ok());
    ASSERT_EQ(d.value().size(), 500u);
    EXPECT_EQ(d.value().residues[499].label, "500");
}

TEST_F(IoFiles, PdbCoordinates) {
    std::string line = ca("1");
    line.replace(30, 8, "  abcdef");
    auto d = read_pdb(write("x.pdb", ca("0") + line));
    ASSERT_FALSE(d.ok());
    EXPECT_EQ(d.error().kind, ErrorKind::PdbParse);
    EXPECT_EQ(d.error().message, "PDB parsing error: Invalid X coordinate in line: " + line.substr(0, line.size() - 1));

    line = ca("1");
    line.replace(38, 8, "        ");
    d = read_pdb(write("y.pdb", line));
    ASSERT_FALSE(d.ok());
    EXPECT_EQ(d.error().message.rfind("PDB parsing error: Invalid Y coordinate in line: ATOM", 0), 0u);

    line = ca("1");
    line.replace(46, 8, "  1.0.0 ");
    d = read_pdb(write("z.pdb", line));
    ASSERT_FALSE(d.ok());
    EXPECT_EQ(d.error().message.rfind("PDB parsing error: Invalid Z coordinate in line: ATOM", 0), 0u);

    line = ca("1");
    line.replace(30, 24, "   +1.5   1e-2     -inf");
    line.insert(53, " ");
    d = read_pdb(write("ok.pdb", line));
    ASSERT_TRUE(d.ok()) << d.error().message;
    EXPECT_EQ(d.value().residues[0].coord[0], 1.5);
    EXPECT_EQ(d.value().residues[0].coord[1], 0.01);
    EXPECT_EQ(d.value().residues[0].coord[2], -std::numeric_limits<double>::infinity());

    line = ca("1");
    line.replace(30, 24, "   1e999  -1e999  1e-999");
    d = read_pdb(write("huge.pdb", line));
    ASSERT_TRUE(d.ok()) << d.error().message;
    EXPECT_EQ(d.value().residues[0].coord, (Point{HUGE_VAL, -HUGE_VAL, 0.0}));
}

TEST_F(IoFiles, PdbCharacterColumns) {
    // Residue name "ÄX" takes bytes 18-20 but only two characters, so the
    // character fields (chain 22, insertion code 27) sit one byte further
    // right than their byte columns; the byte fields stay where they are.
    const std::string line = "ATOM      1  CA  \xc3\x84X B 12  Q     1.000   2.000   3.000\n";
    ASSERT_EQ(line.find("   1.000"), 30u);
    auto d = read_pdb(write("u.pdb", line));
    ASSERT_TRUE(d.ok()) << d.error().message;
    EXPECT_EQ(d.value().chain, U' ');               // character 22 is byte 23
    EXPECT_EQ(d.value().residues[0].label, "12Q");  // bytes 23-26 " 12 ", character 27
    EXPECT_EQ(d.value().residues[0].amino_acid, U'X');
    EXPECT_EQ(d.value().residues[0].coord, (Point{1, 2, 3}));
    EXPECT_FALSE(read_pdb(path("u.pdb"), U'B').ok());

    // A multi-byte chain identifier and insertion code are kept whole; the
    // number field then starts inside a character and reads as "0".
    const std::string wide = "ATOM      1  CA  ALA \xc3\xa9  5 \xc3\xa9    1.000   2.000   3.000\n";
    ASSERT_EQ(wide.find("   1.000"), 30u);
    auto w = read_pdb(write("w.pdb", wide));
    ASSERT_TRUE(w.ok()) << w.error().message;
    EXPECT_EQ(w.value().chain, U'\u00e9');
    EXPECT_EQ(w.value().residues[0].label, "0\xc3\xa9");
    EXPECT_EQ(w.value().residues[0].coord, (Point{1, 2, 3}));
}

TEST_F(IoFiles, PdbIoErrors) {
    auto missing = read_pdb(path("nope.pdb"));
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().kind, ErrorKind::Io);
    EXPECT_EQ(missing.error().message, "I/O error: No such file or directory");

    auto dir = read_pdb(dir_);
    ASSERT_FALSE(dir.ok());
    EXPECT_EQ(dir.error().message, "I/O error: Is a directory");

    auto bad = read_pdb(write("bad.pdb", ca("1") + "REMARK \xff\xfe\n" + ca("2")));
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().kind, ErrorKind::Io);
    EXPECT_EQ(bad.error().message, "I/O error: stream did not contain valid UTF-8");

    // Overlong forms and surrogates are not UTF-8 either.
    for (const char* seq : {"\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82"}) {
        auto r = read_pdb(write("bad2.pdb", std::string("REMARK ") + seq + "\n" + ca("1")));
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().message, "I/O error: stream did not contain valid UTF-8");
    }

    // Binary junk without line ends.
    std::string junk(100000, '\0');
    for (std::size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>((i * 7919) % 251);
    auto bin = read_pdb(write("bin.pdb", junk));
    ASSERT_FALSE(bin.ok());
    EXPECT_EQ(bin.error().kind, ErrorKind::Io);

    const std::string empty = write("empty.pdb", "");
    auto e = read_pdb(empty);
    ASSERT_FALSE(e.ok());
    EXPECT_EQ(e.error().message, "PDB parsing error: No C-alpha atoms found in chain '_' of " + empty);
}

TEST(RealPdb, CountsAndSequences) {
    struct Case {
        const char* file;
        char32_t chain;
        std::size_t n;
        const char* first;
        const char* last;
        const char* sequence;
    };
    const Case cases[] = {
        {"1d3z.pdb", U'A', 76, "1", "76",
         "MQIFVKTLTGKTITLEVEPSDTIENVKAKIQDKEGIPPDQQRLIFAGKQLEDGRTLSDYNIQKESTLHLVLRLRGG"},
        {"2juy_crlf.pdb", U'A', 27, "1", "28", "FFCPFGCALVDCGPNRPCRDTGFSCDC"},
        {"1ejg.pdb", U'A', 46, "1", "46", "TTCCPSIVARSNFNVCRLPGTPEALCATYTGCIIIPGATCPGDYAN"},
        {"1orc.pdb", U'A', 64, "3", "61", "QRITLKDYAMRFGQTKTAKDLGVYQSAINKAIHAGRKIFLTINADGSVYAEEVKDGEVKPFPSN"},
        {"1a8o.pdb", U'A', 66, "152", "220", "DIRQGPKEPFRDYVDRFYKTLRAEQASQEVKNWTETLLVQNANPDCKTILKALGPGATLEETACQG"},
        {"1k6p.pdb", U'B', 99, "1", "99",
         "PQITLWKRPLVTIRIGGQLKEALLDTGADDTVLEEMNLPGRWKPKMIGGIGGFIKVRQYDQIPIEICGHKAIGTVLVGPTPTNVIGRNLLTQIGCTLNF"},
        {"2beg.pdb", U'E', 26, "17", "42", "LVFFAEDVGSNKGAIIGLMVGGVVIA"},
        {"1o1z.pdb", U'A', 226, "-3", "222", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        auto d = read_pdb(data_file(c.file), c.chain);
        ASSERT_TRUE(d.ok()) << d.error().message;
        ASSERT_EQ(d.value().size(), c.n);
        EXPECT_EQ(d.value().residues.front().label, c.first);
        EXPECT_EQ(d.value().residues.back().label, c.last);
        if (c.sequence) {
            EXPECT_EQ(seq(d.value()), c.sequence);
        }
    }
    auto o = read_pdb(data_file("1o1z.pdb"));
    ASSERT_TRUE(o.ok());
    const auto ol = labels(o.value());
    EXPECT_EQ(std::vector<std::string>(ol.begin(), ol.begin() + 5),
              (std::vector<std::string>{"-3", "-2", "-1", "0", "1"}));
    auto orc = read_pdb(data_file("1orc.pdb"));
    ASSERT_TRUE(orc.ok());
    const auto l = labels(orc.value());
    const auto at = std::find(l.begin(), l.end(), "56");
    ASSERT_NE(at, l.end());
    EXPECT_EQ(std::vector<std::string>(at, at + 7), (std::vector<std::string>{"56", "56A", "56B", "56C", "56D", "56E", "57"}));
    // Model 1 of the NMR ensemble: its first C-alpha.
    auto nmr = read_pdb(data_file("1d3z.pdb"));
    ASSERT_TRUE(nmr.ok());
    EXPECT_EQ(nmr.value().id, "1d3z");
    EXPECT_EQ(nmr.value().residues[0].coord, (Point{51.653, -89.304, 8.833}));
}

// ---------------------------------------------------------------------------
// DSSP reader

namespace {

const char* kDsspHeader =
    "==== Secondary Structure Definition by the program DSSP ====\n"
    "  #  RESIDUE AA STRUCTURE BP1 BP2  ACC     N-H-->O    O-->H-N\n";

// A DSSP residue line: number in columns 6-10, insertion code 11, chain 12,
// amino acid 14, structure 17, accessibility text right-aligned in 35-38.
std::string dssp(int seqno, const std::string& num, char ins, char chain, char aa, char ss, const std::string& acc) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "%5d%5s%c%c %c  %c                %4s     -2,-0.4\n", seqno, num.c_str(), ins, chain,
                  aa, ss, acc.c_str());
    return buf;
}

Domain five_residues(char32_t chain = U'A') {
    PointSet pts(5, Point{0, 0, 0});
    Domain d = Domain::from_arrays("five", pts, U"ACDEF", chain).value();
    return d;
}

std::string ss_of(const Domain& d) { return to_utf8(d.secondary_structure()); }

}  // namespace

TEST_F(IoFiles, DsspMatchesLabels) {
    std::string text = kDsspHeader;
    const char codes[] = {'H', 'G', 'I', 'E', 'B'};
    for (int i = 1; i <= 5; ++i) text += dssp(i, std::to_string(i), ' ', 'A', 'A', codes[i - 1], std::to_string(10 * i));
    Domain d = five_residues();
    ASSERT_TRUE(apply_dssp(d, write("a.dssp", text)).ok());
    EXPECT_TRUE(d.has_dssp);
    EXPECT_EQ(ss_of(d), "HHHEE");
    for (int i = 0; i < 5; ++i) EXPECT_EQ(d.residues[i].accessibility, 10.0 * (i + 1));

    // Shifted numbering matches nothing, but the file still counts as applied.
    std::string shifted = kDsspHeader;
    for (int i = 1; i <= 5; ++i) shifted += dssp(i, std::to_string(100 + i), ' ', 'A', 'A', 'H', "50");
    Domain s = five_residues();
    ASSERT_TRUE(apply_dssp(s, write("s.dssp", shifted)).ok());
    EXPECT_TRUE(s.has_dssp);
    EXPECT_EQ(ss_of(s), "CCCCC");
    EXPECT_EQ(s.residues[0].accessibility, 0.0);
}

TEST_F(IoFiles, DsspLetterMapping) {
    std::string text = kDsspHeader;
    const char letters[] = {'T', 'S', 'P', ' ', 'h'};
    for (int i = 1; i <= 5; ++i) text += dssp(i, std::to_string(i), ' ', 'A', 'A', letters[i - 1], "1");
    Domain d = five_residues();
    for (Residue& r : d.residues) r.secondary_structure = U'H';
    ASSERT_TRUE(apply_dssp(d, write("m.dssp", text)).ok());
    EXPECT_EQ(ss_of(d), "CCCCC");
}

TEST_F(IoFiles, DsspLineRules) {
    std::string text = kDsspHeader;
    text += dssp(1, "1", ' ', 'A', '!', 'H', "1");  // chain break in column 14: skipped
    std::string col13 = dssp(2, "2", ' ', 'A', 'A', 'H', "2");
    col13[12] = '!';  // "!" in column 13 is no break marker
    std::string col15 = dssp(3, "3", ' ', 'A', 'A', 'H', "3");
    col15[14] = '!';
    text += col13 + col15;
    text += dssp(4, "4", ' ', 'A', 'A', 'E', "xx");  // unparsable accessibility
    text += "    5    5 A A  E\n";                    // exactly 17 characters
    text += "    1    1 A A  \n";                     // 16 characters: ignored
    Domain d = five_residues();
    for (Residue& r : d.residues) r.accessibility = 99.0;
    ASSERT_TRUE(apply_dssp(d, write("r.dssp", text)).ok());
    EXPECT_EQ(ss_of(d), "CHHEE");
    EXPECT_EQ(d.residues[0].accessibility, 99.0);
    EXPECT_EQ(d.residues[1].accessibility, 2.0);
    EXPECT_EQ(d.residues[3].accessibility, 0.0);
    EXPECT_EQ(d.residues[4].accessibility, 0.0);
}

TEST_F(IoFiles, DsspChainFilterAndOrder) {
    std::string text = kDsspHeader;
    text += dssp(1, "1", ' ', 'A', 'A', 'H', "11");
    text += dssp(2, "1", ' ', 'B', 'A', 'E', "12");
    text += dssp(3, "2", ' ', 'A', 'A', 'H', "21");
    text += dssp(4, "3", ' ', ' ', 'A', 'H', "31");  // blank chain: applies to any record
    text += dssp(5, "4", ' ', 'B', 'A', 'H', "41");
    text += dssp(6, "4", ' ', 'B', 'A', 'E', "42");  // later entry for the same label wins
    const std::string p = write("c.dssp", text);

    Domain b = five_residues(U'B');
    ASSERT_TRUE(apply_dssp(b, p).ok());
    EXPECT_EQ(ss_of(b), "ECHEC");
    EXPECT_EQ(b.residues[0].accessibility, 12.0);

    Domain any = five_residues(U'_');
    ASSERT_TRUE(apply_dssp(any, p).ok());
    EXPECT_EQ(ss_of(any), "EHHEC");

    // A second file covering only residue 2 keeps what the first one set.
    std::string second = std::string(kDsspHeader) + dssp(1, "2", ' ', 'B', 'A', 'G', "7");
    ASSERT_TRUE(apply_dssp(b, write("c2.dssp", second)).ok());
    EXPECT_EQ(ss_of(b), "EHHEC");
    EXPECT_EQ(b.residues[1].accessibility, 7.0);
    EXPECT_EQ(b.residues[0].accessibility, 12.0);
}

// DSSP text checked against the chain: labels taken in turn, amino acids
// compared, other chains skipped, and nothing applied on any error.
TEST(DsspText, AppliesTheChainsLinesByLabelInTurn) {
    std::string text = kDsspHeader;
    text += dssp(1, "7", ' ', 'A', 'A', 'H', "11");
    text += dssp(2, "7", ' ', 'B', 'A', 'E', "99");   // another chain
    text += dssp(3, "8", 'A', 'A', 'D', 'E', "21");   // insertion code
    text += dssp(4, "7", ' ', 'A', 'a', 'G', "31");   // bridged cysteine; label 7 the second time
    text += dssp(5, " ", ' ', ' ', '!', ' ', "");      // chain break
    text += dssp(6, "9", ' ', ' ', 'X', 'B', "41");   // blank chain; X matches anything
    Domain d = five_residues();
    const std::vector<std::string> labels{"7", "7", "8A", "9", "10"};
    std::string crlf;
    for (const char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    ASSERT_TRUE(apply_dssp_text(d, crlf, "A", labels).ok());
    EXPECT_TRUE(d.has_dssp);
    EXPECT_EQ(ss_of(d), "HHEEC");
    EXPECT_EQ(d.residues[1].accessibility, 31.0);
    EXPECT_EQ(d.residues[3].accessibility, 41.0);

    // Newer DSSP's full chain id (columns 160-163) decides when present.
    std::string wide = dssp(1, "1", ' ', 'A', 'A', 'H', "5");
    wide.pop_back();
    wide.resize(159, ' ');
    Domain e = five_residues();
    const std::string other = std::string(kDsspHeader) + wide + "AB  \n" + dssp(2, "2", ' ', 'A', 'C', 'E', "6");
    ASSERT_TRUE(apply_dssp_text(e, other, "A").ok());  // the residues' own labels 1..5
    EXPECT_EQ(ss_of(e), "CECCC");
}

TEST(DsspText, RefusesTextOfAnotherStructureAndChangesNothing) {
    const std::string header = kDsspHeader;
    struct Case {
        std::string text, message;
    };
    const Case cases[] = {
        {"\xff\xfe binary", "not a DSSP file (not UTF-8 text)"},
        {"hello\n", "not a DSSP file (no residue table header)"},
        {header + dssp(1, "1", ' ', 'B', 'A', 'H', "1"), "DSSP file of another structure: no residue of chain A"},
        {header + dssp(1, "1", ' ', 'A', 'A', 'H', "1") + dssp(2, "6", ' ', 'A', 'K', 'H', "1"),
         "DSSP file of another structure: its residue 6 (K) is not in chain A"},
        {header + dssp(1, "1", ' ', 'A', 'A', 'H', "1") + dssp(2, "1", ' ', 'A', 'A', 'H', "1"),
         "DSSP file of another structure: its residue 1 (A) is not in chain A"},
        {header + dssp(1, "1", ' ', 'A', 'A', 'H', "1") + dssp(2, "2", ' ', 'A', 'K', 'H', "1"),
         "DSSP file of another structure: residue 2 is K there, C in chain A"},
    };
    for (const Case& c : cases) {
        Domain d = five_residues();
        const auto s = apply_dssp_text(d, c.text, "A");
        ASSERT_FALSE(s.ok()) << c.message;
        EXPECT_EQ(s.error().kind, ErrorKind::DsspParse);
        EXPECT_EQ(s.error().detail(), c.message);
        EXPECT_EQ(ss_of(d), "CCCCC");
        EXPECT_FALSE(d.has_dssp);
    }
    Domain d = five_residues();
    const std::vector<std::string> two{"1", "2"};
    EXPECT_EQ(apply_dssp_text(d, header, "A", two).error().kind, ErrorKind::InvalidParameter);
}

TEST_F(IoFiles, DsspInsertionCodesAndHeaderless) {
    auto d = read_pdb(write("i.pdb", ca("52") + ca("52", 'A', "ALA", ' ', 'A') + ca("53")));
    ASSERT_TRUE(d.ok());
    std::string text = std::string(kDsspHeader) + dssp(1, "52", 'A', 'A', 'A', 'E', "5") + dssp(2, "52", ' ', 'A', 'A', 'H', "4");
    ASSERT_TRUE(apply_dssp(d.value(), write("i.dssp", text)).ok());
    EXPECT_EQ(ss_of(d.value()), "HEC");

    // No header line (and an empty file): nothing matched, flag still set.
    for (const std::string& body : {dssp(1, "1", ' ', 'A', 'A', 'H', "1"), std::string()}) {
        Domain f = five_residues();
        ASSERT_TRUE(apply_dssp(f, write("h.dssp", body)).ok());
        EXPECT_TRUE(f.has_dssp);
        EXPECT_EQ(ss_of(f), "CCCCC");
    }
}

TEST_F(IoFiles, DsspFailuresLeaveTheRecordUnchanged) {
    Domain d = five_residues();
    Status s = apply_dssp(d, path("missing.dssp"));
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().kind, ErrorKind::Io);
    EXPECT_EQ(s.error().message, "I/O error: No such file or directory");
    EXPECT_FALSE(d.has_dssp);

    s = apply_dssp(d, dir_);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().message, "I/O error: Is a directory");

    // Valid entries before the bad byte are not applied either.
    std::string text = std::string(kDsspHeader) + dssp(1, "1", ' ', 'A', 'A', 'H', "9") + "\xff\n";
    s = apply_dssp(d, write("bad.dssp", text));
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().message, "I/O error: stream did not contain valid UTF-8");
    EXPECT_FALSE(d.has_dssp);
    EXPECT_EQ(ss_of(d), "CCCCC");
    EXPECT_EQ(d.residues[0].accessibility, 0.0);
}

TEST(RealDssp, AppliesToTheMatchingChain) {
    auto orc = read_pdb(data_file("1orc.pdb"));
    ASSERT_TRUE(orc.ok());
    Domain& d = orc.value();
    ASSERT_TRUE(apply_dssp(d, data_file("1orc.dssp")).ok());
    auto find = [&](const std::string& label) -> const Residue& {
        for (const Residue& r : d.residues) {
            if (r.label == label) return r;
        }
        throw std::runtime_error("no residue " + label);
    };
    EXPECT_EQ(find("56").secondary_structure, U'E');
    EXPECT_EQ(find("56").accessibility, 118.0);
    EXPECT_EQ(find("56A").secondary_structure, U'C');
    EXPECT_EQ(find("56A").accessibility, 149.0);
    EXPECT_EQ(find("56C").accessibility, 125.0);
    const auto c = d.ss_content();
    EXPECT_GT(c[0], 0.2);
    EXPECT_GT(c[1], 0.2);

    auto beg = read_pdb(data_file("2beg.pdb"), U'B');
    ASSERT_TRUE(beg.ok());
    ASSERT_TRUE(apply_dssp(beg.value(), data_file("2beg.dssp")).ok());
    EXPECT_EQ(beg.value().residues[0].accessibility, 100.0);  // chain A's residue 17 has 120
    EXPECT_EQ(beg.value().residues[2].accessibility, 9.0);    // chain A's residue 19 has 64
    EXPECT_EQ(beg.value().residues[2].secondary_structure, U'E');

    auto k6p = read_pdb(data_file("1k6p.pdb"), U'B');
    ASSERT_TRUE(k6p.ok());
    ASSERT_TRUE(apply_dssp(k6p.value(), data_file("1k6p.dssp")).ok());
    EXPECT_EQ(k6p.value().residues[0].accessibility, 75.0);  // chain A: 80
    EXPECT_EQ(k6p.value().residues[49].label, "50");
    EXPECT_EQ(k6p.value().residues[49].accessibility, 43.0);  // chain A: 41
    EXPECT_EQ(k6p.value().residues[49].secondary_structure, U'C');
}

// ---------------------------------------------------------------------------
// Writers

TEST_F(IoFiles, CalphaLineLayout) {
    PointSet pts{{0, 0, 0}, {11.639, 6.071, -5.147}};
    Domain d = Domain::from_arrays("two", pts, U"GA").value();
    d.residues[1].label = "1";
    const std::string p = path("two.pdb");
    ASSERT_TRUE(write_ca_pdb(d, p, std::nullopt).ok());
    const auto lines = lines_of(slurp(p));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "REMARK   Generated by Torvaline");
    EXPECT_EQ(lines[1], "REMARK   Domain: two");
    EXPECT_EQ(lines[3], "ATOM      2  CA  ALA A1         11.639   6.071  -5.147  1.00  0.00           C");
    EXPECT_EQ(lines[3].size(), 78u);
    EXPECT_EQ(lines[4], "END");
    EXPECT_EQ(slurp(p).back(), '\n');

    // The transform moves the coordinates before they are written.
    Transform t;
    t.translation = {1.0, -1.0, 0.5};
    ASSERT_TRUE(write_ca_pdb(d, p, t).ok());
    EXPECT_EQ(lines_of(slurp(p))[3], "ATOM      2  CA  ALA A1         12.639   5.071  -4.647  1.00  0.00           C");
}

TEST_F(IoFiles, CalphaWideAndSpecialValues) {
    PointSet pts(123456, Point{0, 0, 0});
    std::u32string sequence(123456, U'A');
    pts.back() = {-1234.5678, 0.0005, std::nan("")};
    sequence.back() = U'*';
    Domain d = Domain::from_arrays("big", pts, sequence, U' ').value();
    d.residues.back().label = "52A";
    const std::string p = path("big.pdb");
    ASSERT_TRUE(write_ca_pdb(d, p, std::nullopt).ok());
    const auto lines = lines_of(slurp(p));
    ASSERT_EQ(lines.size(), 123459u);
    EXPECT_EQ(lines[123457], "ATOM  123456  CA  UNK _52A     -1234.568   0.001     NaN  1.00  0.00           C");
    EXPECT_EQ(lines[2], "ATOM      1  CA  ALA _1          0.000   0.000   0.000  1.00  0.00           C");

    PointSet few{{1000000.0, -0.0, std::numeric_limits<double>::infinity()},
                 {-std::numeric_limits<double>::infinity(), -0.0004, 2.0}};
    Domain w = Domain::from_arrays("w", few, U"aX").value();
    w.residues[1].label = "12345";
    ASSERT_TRUE(write_ca_pdb(w, p, std::nullopt).ok());
    const auto wl = lines_of(slurp(p));
    EXPECT_EQ(wl[2], "ATOM      1  CA  ALA A1       1000000.000  -0.000     inf  1.00  0.00           C");
    EXPECT_EQ(wl[3], "ATOM      2  CA  UNK A12345        -inf  -0.000   2.000  1.00  0.00           C");

    Domain e = Domain::empty("nothing");
    ASSERT_TRUE(write_ca_pdb(e, p, std::nullopt).ok());
    EXPECT_EQ(slurp(p), "REMARK   Generated by Torvaline\nREMARK   Domain: nothing\nEND\n");
}

TEST_F(IoFiles, CalphaRoundTripKeepsInsertionCodes) {
    for (const char* file : {"1orc.pdb", "1o1z.pdb", "1k6p.pdb"}) {
        SCOPED_TRACE(file);
        auto d = read_pdb(data_file(file));
        ASSERT_TRUE(d.ok());
        const std::string p = path("rt.pdb");
        ASSERT_TRUE(write_ca_pdb(d.value(), p, std::nullopt).ok());
        auto back = read_pdb(p);
        ASSERT_TRUE(back.ok()) << back.error().message;
        EXPECT_EQ(back.value().id, "rt");
        EXPECT_EQ(labels(back.value()), labels(d.value()));
        EXPECT_EQ(back.value().sequence(), d.value().sequence());
        EXPECT_EQ(back.value().coordinates(), d.value().coordinates());  // the files have 3 decimals already
    }
    // Hybrid-36 style labels survive as well.
    Domain h = Domain::from_arrays("h", PointSet(3, Point{1, 2, 3}), U"ACD").value();
    h.residues[0].label = "A000";
    h.residues[1].label = "A001";
    h.residues[2].label = "A002";
    ASSERT_TRUE(write_ca_pdb(h, path("h.pdb"), std::nullopt).ok());
    auto hb = read_pdb(path("h.pdb"));
    ASSERT_TRUE(hb.ok());
    EXPECT_EQ(labels(hb.value()), (std::vector<std::string>{"A000", "A001", "A002"}));
}

TEST_F(IoFiles, OutputFilesAndErrors) {
    Domain d = five_residues();
    const std::string p = write("old.pdb", std::string(100000, 'x'));
    const mode_t old_mask = ::umask(027);
    ASSERT_TRUE(write_ca_pdb(d, p, std::nullopt).ok());
    ASSERT_TRUE(write_ca_pdb(d, path("fresh.pdb"), std::nullopt).ok());
    ::umask(old_mask);
    EXPECT_EQ(slurp(p).find('x'), std::string::npos);  // truncated
    struct stat st {};
    ASSERT_EQ(::stat(path("fresh.pdb").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    Status s = write_ca_pdb(d, path("no/such/dir.pdb"), std::nullopt);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().kind, ErrorKind::Io);
    EXPECT_EQ(s.error().message, "I/O error: No such file or directory");
    s = write_ca_pdb(d, dir_, std::nullopt);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().message, "I/O error: Is a directory");
    if (::access("/dev/full", W_OK) == 0) {
        s = write_ca_pdb(d, "/dev/full", std::nullopt);
        ASSERT_FALSE(s.ok());
        EXPECT_EQ(s.error().message, "I/O error: No space left on device");
    }
}

// Paths of the directory's entries, sorted.
std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

TEST_F(IoFiles, FailedWritesLeaveTheOldFileWhole) {
    Domain big = five_residues();
    big.residues.resize(2000, big.residues[0]);
    const std::string p = write("keep.pdb", "old content\n");
    ::chmod(p.c_str(), 0604);
    // Writes past 4 KB fail with EFBIG instead of a signal.
    struct rlimit old_limit {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old_limit;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const Status failed = write_ca_pdb(big, p, std::nullopt);
    const Status fresh = write_ca_pdb(big, path("fresh.pdb"), std::nullopt);
    const Status whole = transform_pdb_file(data_file("1ubq.pdb"), p, Transform::identity());
    ::setrlimit(RLIMIT_FSIZE, &old_limit);
    std::signal(SIGXFSZ, old_handler);
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().message, "I/O error: File too large");
    EXPECT_FALSE(fresh.ok());
    EXPECT_FALSE(whole.ok());
    EXPECT_EQ(slurp(p), "old content\n");
    EXPECT_EQ(entries(dir_), (std::vector<std::string>{"keep.pdb"}));  // no temporary file left

    // A successful write replaces the file and keeps its permission bits.
    ASSERT_TRUE(write_ca_pdb(big, p, std::nullopt).ok());
    EXPECT_TRUE(slurp(p).starts_with("REMARK   Generated by Torvaline\n"));
    struct stat st {};
    ASSERT_EQ(::stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0604u);

    // Through a symbolic link the link stays and its target is replaced.
    const std::string link = path("link.pdb");
    std::filesystem::create_symlink(p, link);
    ASSERT_TRUE(transform_pdb_file(data_file("1ubq.pdb"), link, Transform::identity()).ok());
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(slurp(p), slurp(data_file("1ubq.pdb")));
    EXPECT_EQ(entries(dir_), (std::vector<std::string>{"keep.pdb", "link.pdb"}));

    // What cannot be opened for writing fails as opening it does, and leaves nothing behind.
    if (::geteuid() != 0) {
        ::chmod(p.c_str(), 0444);
        const Status read_only = write_ca_pdb(big, p, std::nullopt);
        ASSERT_FALSE(read_only.ok());
        EXPECT_EQ(read_only.error().message, "I/O error: Permission denied");
        EXPECT_EQ(slurp(p), slurp(data_file("1ubq.pdb")));
    }
    const Status slash = write_ca_pdb(big, path("new/"), std::nullopt);
    ASSERT_FALSE(slash.ok());
    EXPECT_EQ(slash.error().message, "I/O error: Is a directory");
    EXPECT_EQ(entries(dir_), (std::vector<std::string>{"keep.pdb", "link.pdb"}));
}

TEST_F(IoFiles, WholeFileTransformLineRules) {
    const std::string atom1 = "ATOM      1  N   ALA A   1       1.5     2.25   -3      1.00  0.00           N";
    const std::string atom2 = "ATOM      2  CA  ALA B   1       1.000   2.000   3.000  1.00  0.00           C";
    const std::string het = "HETATM    3  O   HOH A 101       0.000   0.000   0.000  1.00 20.00           O";
    const std::string anisou = "ANISOU    1  N   ALA A   1     2406   1892   1614    198    519   -328       N";
    const std::string shortatom = "ATOM      4  CA  ALA A   2       1.000   2.000   3.0";  // 50 bytes
    const std::string junkx = "ATOM      5  CA  ALA A   3    abcdefgh   2.000   3.000";
    const std::string input = "REMARK   1 something  \r\n" + atom1 + "\r\n" + atom2 + "\n" + het + "\n" + anisou + "\n" +
                              shortatom + "\n" + junkx + "\nTER\nCONECT    1    2\nENDMDL\nMODEL        2\n" + atom1 +
                              "\n" + het + "\nTER\nENDMDL\nEND";
    const std::string in = write("in.pdb", input);
    const std::string out = path("out.pdb");

    Transform t;
    t.translation = {10.0, 0.0, 0.0};
    ASSERT_TRUE(transform_pdb_file(in, out, t, U'A').ok());
    const auto lines = lines_of(slurp(out));
    const std::vector<std::string> expected = {
        "REMARK   1 something  ",
        "ATOM      1  N   ALA A   1      11.500   2.250  -3.000  1.00  0.00           N",
        atom2,  // chain B is not accepted: copied unmoved
        "HETATM    3  O   HOH A 101      10.000   0.000   0.000  1.00 20.00           O",
        anisou,
        shortatom,
        "ATOM      5  CA  ALA A   3      10.000   2.000   3.000",
        "TER",
        "CONECT    1    2",
        "ENDMDL",
        "MODEL        2",
        "TER",
        "ENDMDL",
        "END",
    };
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(slurp(out).back(), '\n');

    // Without a chain filter every atom line of the first model moves.
    ASSERT_TRUE(transform_pdb_file(in, out, t, std::nullopt).ok());
    EXPECT_EQ(lines_of(slurp(out))[2], "ATOM      2  CA  ALA B   1      11.000   2.000   3.000  1.00  0.00           C");

    // A "\r" that does not end a line is kept.
    ASSERT_TRUE(transform_pdb_file(write("cr.pdb", "REMARK x\r"), out, t).ok());
    EXPECT_EQ(slurp(out), "REMARK x\r\n");
}

TEST_F(IoFiles, WholeFileTransformErrors) {
    const std::string out = path("out.pdb");
    Status s = transform_pdb_file(path("missing.pdb"), out, Transform::identity());
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().message, "I/O error: No such file or directory");
    EXPECT_FALSE(std::filesystem::exists(out));

    s = transform_pdb_file(dir_, out, Transform::identity());
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().message, "I/O error: Is a directory");
    EXPECT_FALSE(std::filesystem::exists(out));

    s = transform_pdb_file(data_file("1ubq.pdb"), path("no/dir/out.pdb"), Transform::identity());
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().message, "I/O error: No such file or directory");

    // Lines before the invalid one stay in the output.
    s = transform_pdb_file(write("bad.pdb", "REMARK ok\nREMARK \xc3\x28\nREMARK after\n"), out, Transform::identity());
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().message, "I/O error: stream did not contain valid UTF-8");
    EXPECT_EQ(slurp(out), "REMARK ok\n");
}

TEST_F(IoFiles, PathsWithNulAreRefused) {
    // A NUL would end the path early for the system: "x.pdb\0junk" is not x.pdb.
    const std::string real = write("x.pdb", ca("1") + ca("2") + ca("3"));
    const auto with_nul = [](std::string p, const char* tail) {
        p.push_back('\0');
        return p.append(tail);
    };
    const std::string nul_path = with_nul(real, "junk");
    auto d = read_pdb(nul_path);
    ASSERT_FALSE(d.ok());
    EXPECT_EQ(d.error().message, "I/O error: Invalid argument");

    Domain target = read_pdb(real).value();
    const Domain before = target;
    ASSERT_FALSE(apply_dssp(target, nul_path).ok());
    EXPECT_EQ(target.residues.size(), before.residues.size());

    const std::string out = path("out.pdb");
    Status s = transform_pdb_file(real, with_nul(out, "x"), Transform::identity());
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().message, "I/O error: Invalid argument");
    EXPECT_FALSE(std::filesystem::exists(out));
    EXPECT_FALSE(write_ca_pdb(target, with_nul(out, ""), std::nullopt).ok());
    EXPECT_FALSE(std::filesystem::exists(out));

    const std::string sub = path("sub");
    EXPECT_FALSE(create_directories(with_nul(sub, "/x")).ok());
    EXPECT_FALSE(std::filesystem::exists(sub));
}

TEST_F(IoFiles, WholeFileTransformOntoItself) {
    // The output is the input (by another spelling of the path, and through a
    // hard link): the result equals a transform into a separate file instead
    // of an emptied input.
    Transform t;
    t.rotation = {{{0, -1, 0}, {1, 0, 0}, {0, 0, 1}}};
    t.translation = {1, 2, 3};
    const std::string expected = path("expected.pdb");
    ASSERT_TRUE(transform_pdb_file(data_file("1ubq.pdb"), expected, t).ok());
    const std::string self = write("self.pdb", slurp(data_file("1ubq.pdb")));
    ASSERT_TRUE(transform_pdb_file(self, dir_ + "/./self.pdb", t).ok());
    EXPECT_EQ(slurp(self), slurp(expected));
    const std::string link = path("link.pdb");
    std::filesystem::create_hard_link(self, link);
    ASSERT_TRUE(transform_pdb_file(link, self, Transform::identity()).ok());
    EXPECT_EQ(slurp(link), slurp(expected));

    // A read failure leaves the file as it was.
    const std::string bad_text = "REMARK ok\nATOM line\nREMARK \xc3\x28\n";
    const std::string bad = write("bad.pdb", bad_text);
    Status s = transform_pdb_file(bad, bad, t);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().message, "I/O error: stream did not contain valid UTF-8");
    EXPECT_EQ(slurp(bad), bad_text);

    // to_pdb of a domain onto its own source file keeps every atom.
    auto d = read_pdb(self);
    ASSERT_TRUE(d.ok());
    ASSERT_TRUE(to_pdb(d.value(), self, t, true).ok());
    auto back = read_pdb(self);
    ASSERT_TRUE(back.ok());
    ASSERT_EQ(back.value().size(), d.value().size());
    EXPECT_NEAR(back.value().residues[0].coord[0], t.apply(d.value().residues[0].coord)[0], 5e-4);
}

TEST_F(IoFiles, WholeFileTransformOfRealEntries) {
    // Identity: atom lines keep their text (already 3 decimals), the rest is
    // byte-identical; CRLF becomes LF; only the first model's atoms remain.
    const std::string out = path("ubq.pdb");
    ASSERT_TRUE(transform_pdb_file(data_file("1ubq.pdb"), out, Transform::identity()).ok());
    EXPECT_EQ(slurp(out), slurp(data_file("1ubq.pdb")));

    ASSERT_TRUE(transform_pdb_file(data_file("2juy_crlf.pdb"), out, Transform::identity()).ok());
    const std::string text = slurp(out);
    EXPECT_EQ(text.find('\r'), std::string::npos);
    std::size_t atoms = 0, models = 0;
    for (const std::string& l : lines_of(text)) {
        atoms += l.starts_with("ATOM") || l.starts_with("HETATM");
        models += l.starts_with("MODEL");
    }
    EXPECT_EQ(models, 24u);
    auto one = read_pdb(out);
    auto orig = read_pdb(data_file("2juy_crlf.pdb"));
    ASSERT_TRUE(one.ok() && orig.ok());
    EXPECT_EQ(one.value().coordinates(), orig.value().coordinates());
    EXPECT_GT(atoms, 0u);

    // A rotation about z by 90 degrees plus a shift, checked on the C-alpha atoms.
    Transform t;
    t.rotation = {{{0, -1, 0}, {1, 0, 0}, {0, 0, 1}}};
    t.translation = {1, 2, 3};
    ASSERT_TRUE(transform_pdb_file(data_file("1ubq.pdb"), out, t).ok());
    auto moved = read_pdb(out);
    auto src = read_pdb(data_file("1ubq.pdb"));
    ASSERT_TRUE(moved.ok() && src.ok());
    ASSERT_EQ(moved.value().size(), src.value().size());
    for (std::size_t i = 0; i < src.value().size(); ++i) {
        const Point e = t.apply(src.value().residues[i].coord);
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(moved.value().residues[i].coord[k], e[k], 5e-4);
    }
}

TEST_F(IoFiles, ToPdbDispatch) {
    auto k6p = read_pdb(data_file("1k6p.pdb"), U'B');
    ASSERT_TRUE(k6p.ok());
    Transform t;
    t.translation = {100, 0, 0};
    const std::string out = path("full.pdb");
    ASSERT_TRUE(to_pdb(k6p.value(), out, t, true).ok());
    auto a_in = read_pdb(data_file("1k6p.pdb"), U'A');
    auto a_out = read_pdb(out, U'A');
    auto b_out = read_pdb(out, U'B');
    ASSERT_TRUE(a_in.ok() && a_out.ok() && b_out.ok());
    EXPECT_EQ(a_out.value().coordinates(), a_in.value().coordinates());  // other chain unmoved
    EXPECT_NEAR(b_out.value().residues[0].coord[0], k6p.value().residues[0].coord[0] + 100, 5e-4);
    EXPECT_NE(slurp(out).find("HETATM"), std::string::npos);

    // Absent transform: identity.
    ASSERT_TRUE(to_pdb(k6p.value(), out, std::nullopt, true).ok());
    auto same = read_pdb(out, U'B');
    ASSERT_TRUE(same.ok());
    EXPECT_EQ(same.value().coordinates(), k6p.value().coordinates());

    ASSERT_TRUE(to_pdb(k6p.value(), out, t, false).ok());
    EXPECT_TRUE(slurp(out).starts_with("REMARK   Generated by Torvaline\nREMARK   Domain: 1k6p\n"));

    Domain arrays = five_residues();
    ASSERT_TRUE(to_pdb(arrays, out, std::nullopt, true).ok());
    EXPECT_TRUE(slurp(out).starts_with("REMARK   Generated by Torvaline\n"));
}

TEST_F(IoFiles, CreateDirectories) {
    const std::string nested = path("a/b/c");
    const mode_t old_mask = ::umask(022);
    ASSERT_TRUE(create_directories(nested).ok());
    ::umask(old_mask);
    struct stat st {};
    ASSERT_EQ(::stat(nested.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    ASSERT_EQ(::stat(path("a").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    EXPECT_TRUE(create_directories(nested).ok());
    EXPECT_TRUE(create_directories(nested + "/").ok());
    EXPECT_TRUE(create_directories(path("a/../d")).ok());
    EXPECT_TRUE(std::filesystem::is_directory(path("d")));

    const std::string file = write("plain", "x");
    auto e = create_directories(file);
    ASSERT_FALSE(e.ok());
    EXPECT_EQ(e.error(), "File exists");
    e = create_directories(file + "/sub");
    ASSERT_FALSE(e.ok());
    EXPECT_EQ(e.error(), "Not a directory");
}

TEST_F(IoFiles, AlignedWriter) {
    const std::string src = write("1abc.pdb", ca("1", 'A', "ALA", ' ', ' ', 1, 0, 0) + "END\n");
    const std::string src2 = write("x.tar.pdb", ca("1", 'A', "GLY", ' ', ' ', 0, 1, 0));
    Transform rot;  // 90 degrees about z
    rot.rotation = {{{0, -1, 0}, {1, 0, 0}, {0, 0, 1}}};
    Transform shift;
    shift.translation = {10, 0, 0};
    const std::vector<Transform> transforms{shift, Transform::identity()};
    const std::vector<Transform> pre{rot, Transform::identity()};
    const std::vector<std::string> sources{src, src2};

    const std::string out_dir = path("out/deeper");
    auto r = write_aligned_pdbs(out_dir, std::nullopt, transforms, pre, sources);
    ASSERT_TRUE(r.ok()) << r.error().message;
    EXPECT_EQ(r.value(), (std::vector<std::string>{out_dir + "/aligned_1abc.pdb", out_dir + "/aligned_x.tar.pdb"}));
    // The pre-transform acts first: (1,0,0) -> (0,1,0) -> (10,1,0).
    auto moved = read_pdb(r.value()[0]);
    ASSERT_TRUE(moved.ok());
    EXPECT_EQ(moved.value().residues[0].coord, (Point{10, 1, 0}));

    auto p = write_aligned_pdbs(out_dir + "/", std::string("fit_"), transforms, pre, sources);
    ASSERT_TRUE(p.ok());
    EXPECT_EQ(p.value()[0], out_dir + "/fit_1abc.pdb");

    // An absolute prefix replaces the directory.
    auto abs = write_aligned_pdbs(out_dir, dir_ + "/top_", transforms, pre, sources);
    ASSERT_TRUE(abs.ok());
    EXPECT_EQ(abs.value()[0], dir_ + "/top_1abc.pdb");
    EXPECT_TRUE(std::filesystem::exists(dir_ + "/top_1abc.pdb"));

    // Shortest list decides; nothing to do still creates the directory.
    auto none = write_aligned_pdbs(path("empty"), std::nullopt, transforms, {}, sources);
    ASSERT_TRUE(none.ok());
    EXPECT_TRUE(none.value().empty());
    EXPECT_TRUE(std::filesystem::is_directory(path("empty")));
}

TEST_F(IoFiles, AlignedWriterRefusesOutputsThatWouldCollide) {
    std::filesystem::create_directories(path("a"));
    std::filesystem::create_directories(path("b"));
    const std::string a = write("a/prot.pdb", ca("1"));
    const std::string b = write("b/prot.pdb", ca("2"));
    const std::string c = write("c.pdb", ca("3"));
    const std::vector<Transform> three(3);
    const std::string out_dir = path("out");
    auto r = write_aligned_pdbs(out_dir, std::nullopt, three, three, std::vector<std::string>{a, c, b});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().cause, AlignedWriteError::Cause::DuplicateOutput);
    EXPECT_EQ(r.error().message, "Output path " + out_dir + "/aligned_prot.pdb would be written for both " + a +
                                     " and " + b);
    EXPECT_TRUE(entries(out_dir).empty());
    EXPECT_FALSE(check_aligned_outputs(out_dir, std::nullopt, std::vector<std::string>{a, c, b}).ok());
    // Distinct names are fine; so are sources without a file, which fail later.
    EXPECT_TRUE(check_aligned_outputs(out_dir, std::nullopt, std::vector<std::string>{a, c}).ok());
    EXPECT_TRUE(check_aligned_outputs(out_dir, std::nullopt, std::vector<std::string>{"", a, ""}).ok());
    // A prefix does not separate them; a path that names no file takes its position.
    EXPECT_FALSE(check_aligned_outputs(out_dir, std::string("p_"), std::vector<std::string>{a, b}).ok());
    EXPECT_FALSE(check_aligned_outputs(out_dir, std::nullopt, std::vector<std::string>{"/", path("domain0.pdb")}).ok());
    EXPECT_TRUE(check_aligned_outputs(out_dir, std::nullopt, std::vector<std::string>{path("domain0.pdb"), "/"}).ok());
}

TEST_F(IoFiles, AlignedWriterStopsBetweenFilesWhenCancelled) {
    const std::string s1 = write("one.pdb", ca("1"));
    const std::string s2 = write("two.pdb", ca("2"));
    const std::vector<Transform> two(2);
    const std::string out_dir = path("out");
    torva::test::CountingCancel at(2);
    auto r = write_aligned_pdbs(out_dir, std::nullopt, two, two, std::vector<std::string>{s1, s2}, at.cancel());
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().cause, AlignedWriteError::Cause::Cancelled);
    EXPECT_EQ(at.asked(), 2u);
    EXPECT_EQ(entries(out_dir), (std::vector<std::string>{"aligned_one.pdb"}));  // whole, and nothing else
    EXPECT_EQ(slurp(out_dir + "/aligned_one.pdb"), slurp(s1));
}

TEST_F(IoFiles, AlignedWriterFailures) {
    const std::string src = write("1abc.pdb", ca("1"));
    const std::vector<Transform> two(2);
    const std::string out_dir = path("o");

    auto missing = write_aligned_pdbs(out_dir, std::nullopt, two, two, std::vector<std::string>{src, ""});
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().cause, AlignedWriteError::Cause::NoSourceFile);
    EXPECT_EQ(missing.error().message, "No source PDB file for domain 1");
    EXPECT_TRUE(std::filesystem::exists(out_dir + "/aligned_1abc.pdb"));  // earlier output stays

    auto no_name = write_aligned_pdbs(out_dir, std::nullopt, two, two, std::vector<std::string>{"/", src});
    ASSERT_FALSE(no_name.ok());
    EXPECT_EQ(no_name.error().cause, AlignedWriteError::Cause::Write);
    EXPECT_EQ(no_name.error().message, "Failed to write " + out_dir + "/aligned_domain0.pdb: I/O error: Is a directory");

    auto gone = write_aligned_pdbs(out_dir, std::nullopt, two, two, std::vector<std::string>{path("gone.pdb"), src});
    ASSERT_FALSE(gone.ok());
    EXPECT_EQ(gone.error().message,
              "Failed to write " + out_dir + "/aligned_gone.pdb: I/O error: No such file or directory");

    const std::string file = write("plain", "x");
    auto dir = write_aligned_pdbs(file + "/sub", std::nullopt, two, two, std::vector<std::string>{src, src});
    ASSERT_FALSE(dir.ok());
    EXPECT_EQ(dir.error().cause, AlignedWriteError::Cause::CreateDirectory);
    EXPECT_EQ(dir.error().message, "Failed to create output directory: Not a directory");
}
