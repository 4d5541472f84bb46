#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>

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
