#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "torva/align_pdbs.hpp"
#include "torva/io.hpp"
#include "test_support.hpp"

using namespace torva;
using Cause = AlignPdbsError::Cause;

namespace {

std::string family(const std::string& name) { return test::data_path("families/cytochrome_c/" + name + ".pdb"); }

const Transform kFarMove = [] {
    const double c = std::cos(1.1), s = std::sin(1.1);
    return Transform::from_matrix({{{c, -s, 0.0}, {s, c, 0.0}, {0.0, 0.0, 1.0}}}, {40.0, -25.0, 60.0});
}();

class AlignPdbsPipeline : public test::TempDirTest {
protected:
    // 1hrc, 1ycc, 1co6 moved far away, 1crc.
    std::vector<std::string> inputs() {
        const std::string moved = path("1co6_moved.pdb");
        EXPECT_TRUE(transform_pdb_file(family("1co6"), moved, kFarMove).ok());
        return {family("1hrc"), family("1ycc"), moved, family("1crc")};
    }

    std::vector<std::string> listing(const std::string& dir) const {
        std::vector<std::string> out;
        if (!std::filesystem::exists(dir)) return out;
        for (const auto& e : std::filesystem::directory_iterator(dir)) out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }
};

}  // namespace

TEST_F(AlignPdbsPipeline, BringsEveryFileIntoTheReferenceFrameAndWritesItMoved) {
    const std::vector<std::string> in = inputs();
    const std::string out = path("out/nested");
    auto r = align_pdbs(in, out, Parameters{}, std::nullopt, 0);
    ASSERT_TRUE(r.ok()) << r.error().message;
    const MultipleAlignmentResult& m = r.value();
    EXPECT_EQ(m.source_paths, in);
    ASSERT_EQ(m.pre_transforms.size(), 4u);
    EXPECT_EQ(listing(out), (std::vector<std::string>{"aligned_1co6_moved.pdb", "aligned_1crc.pdb",
                                                      "aligned_1hrc.pdb", "aligned_1ycc.pdb"}));
    // The reference is written unmoved, and every member's core residues lie
    // on the reference's, the far-moved one included.
    EXPECT_EQ(read_pdb(out + "/aligned_1hrc.pdb").value().coordinates(), read_pdb(in[0]).value().coordinates());
    const PointSet reference = read_pdb(out + "/aligned_1hrc.pdb").value().coordinates();
    for (std::size_t k = 1; k < in.size(); ++k) {
        const PointSet mine = read_pdb(out + "/aligned_" + file_stem(in[k]).value() + ".pdb").value().coordinates();
        PointSet a, b;
        for (std::size_t c : m.core_positions) {
            a.push_back(reference[*m.columns[c][0]]);
            b.push_back(mine[*m.columns[c][k]]);
        }
        EXPECT_LT(compute_rmsd(a, b), 1.5) << k;
    }
    // Each output is its input moved by the full transform.
    const auto full = m.full_transforms();
    for (std::size_t k = 0; k < in.size(); ++k) {
        const PointSet expected = full[k].apply(read_pdb(in[k]).value().coordinates());
        const std::string name = out + "/aligned_" + file_stem(in[k]).value() + ".pdb";
        EXPECT_LT(compute_rmsd(read_pdb(name).value().coordinates(), expected), 2e-3) << k;
    }
    EXPECT_GE(m.n_core(), 70u);

    // Another reference stays fixed instead.
    auto other = align_pdbs(in, path("other"), Parameters{}, std::nullopt, 1);
    ASSERT_TRUE(other.ok());
    EXPECT_EQ(read_pdb(path("other/aligned_1ycc.pdb")).value().coordinates(), read_pdb(in[1]).value().coordinates());
}

TEST_F(AlignPdbsPipeline, ChecksComeBeforeAnyFileIsReadOrWritten) {
    const std::string out = path("out");
    const std::string missing = path("missing.pdb");
    auto few = align_pdbs(std::vector<std::string>{missing}, out, Parameters{}, std::nullopt, 0);
    ASSERT_FALSE(few.ok());
    EXPECT_EQ(few.error().cause, Cause::TooFewFiles);
    EXPECT_EQ(few.error().message, "Need at least 2 PDB files");
    auto ref = align_pdbs(std::vector<std::string>{missing, missing}, out, Parameters{}, std::nullopt, 2);
    ASSERT_FALSE(ref.ok());
    EXPECT_EQ(ref.error().cause, Cause::BadReference);
    EXPECT_EQ(ref.error().message, "Reference index 2 out of range for 2 structures");

    std::filesystem::create_directories(path("a"));
    std::filesystem::create_directories(path("b"));
    std::filesystem::copy_file(family("1hrc"), path("a/x.pdb"));
    std::filesystem::copy_file(family("1ycc"), path("b/x.pdb"));
    auto clash = align_pdbs(std::vector<std::string>{path("a/x.pdb"), missing, path("b/x.pdb")}, out, Parameters{},
                            std::nullopt, 0);
    ASSERT_FALSE(clash.ok());
    EXPECT_EQ(clash.error().cause, Cause::DuplicateOutput);
    EXPECT_EQ(clash.error().message,
              "Output path " + out + "/aligned_x.pdb would be written for both " + path("a/x.pdb") + " and " + path("b/x.pdb"));

    auto unread = align_pdbs(std::vector<std::string>{family("1hrc"), missing}, out, Parameters{}, std::nullopt, 0);
    ASSERT_FALSE(unread.ok());
    EXPECT_EQ(unread.error().cause, Cause::Read);
    EXPECT_EQ(unread.error().message, "Failed to parse " + missing + ": I/O error: No such file or directory");
    auto no_chain = align_pdbs(std::vector<std::string>{family("1hrc"), family("1ycc")}, out, Parameters{}, U'Z', 0);
    ASSERT_FALSE(no_chain.ok());
    EXPECT_EQ(no_chain.error().cause, Cause::Read);
    EXPECT_TRUE(no_chain.error().message.starts_with("Failed to parse " + family("1hrc") + ": PDB parsing error: "));
    EXPECT_FALSE(std::filesystem::exists(out));

    // An output that cannot be written: the files before it stay.
    std::filesystem::create_directories(out + "/aligned_1ycc.pdb");
    auto blocked = align_pdbs(std::vector<std::string>{family("1hrc"), family("1ycc")}, out, Parameters{},
                              std::nullopt, 0);
    ASSERT_FALSE(blocked.ok());
    EXPECT_EQ(blocked.error().cause, Cause::Write);
    EXPECT_TRUE(blocked.error().message.starts_with("Failed to write " + out + "/aligned_1ycc.pdb: "));
    EXPECT_EQ(listing(out), (std::vector<std::string>{"aligned_1hrc.pdb", "aligned_1ycc.pdb"}));
}

TEST_F(AlignPdbsPipeline, CancelEndsItAtAnyStepLeavingOnlyWholeFiles) {
    const std::vector<std::string> in = inputs();
    auto plain = align_pdbs(in, path("plain"), Parameters{}, std::nullopt, 0);
    test::CountingCancel never;
    auto asked = align_pdbs(in, path("asked"), Parameters{}, std::nullopt, 0, never.cancel());
    ASSERT_TRUE(plain.ok() && asked.ok());
    for (std::size_t k = 0; k < in.size(); ++k) {
        EXPECT_EQ(asked.value().full_transforms()[k].translation, plain.value().full_transforms()[k].translation);
    }
    // Every pre-alignment asks, then 6 pairs and 3 merges, then 4 files.
    ASSERT_GT(never.asked(), 3u + 6u + 3u + 4u);
    for (const std::size_t stop : {std::size_t{1}, never.asked() - 4, never.asked() - 1, never.asked()}) {
        const std::string out = path("stop" + std::to_string(stop));
        test::CountingCancel at(stop);
        auto r = align_pdbs(in, out, Parameters{}, std::nullopt, 0, at.cancel());
        ASSERT_FALSE(r.ok()) << stop;
        EXPECT_EQ(r.error().cause, Cause::Cancelled);
        // Stopped before file f: files 0 .. f-1 are there, each as the full run wrote it.
        const std::size_t files = stop + 4 > never.asked() ? stop + 4 - never.asked() - 1 : 0;
        const std::vector<std::string> written = listing(out);
        EXPECT_EQ(written.size(), files) << stop;
        for (const std::string& name : written) EXPECT_EQ(slurp(out + "/" + name), slurp(path("plain/" + name)));
    }
}
