#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

#include "torva/io.hpp"

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

std::string data_file(const std::string& name) { return std::string(TORVA_TEST_DATA) + "/" + name; }

class IoFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/torva-io-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    std::string write(const std::string& name, const std::string& content) const {
        const std::string p = path(name);
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }

    static std::string slurp(const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

    static std::vector<std::string> lines_of(const std::string& text) {
        std::vector<std::string> out;
        std::istringstream in(text);
        for (std::string l; std::getline(in, l);) out.push_back(l);
        return out;
    }

    std::string dir_;
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
    a.insert(a.size() - 1, "\r");
    b.insert(b.size() - 1, "\r");
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
