// Reading and writing speed of the structure files: the PDB reader on the
// largest bundled entry, the whole-file transformer on the same file (every
// line of every model passes through it), and the DSSP reader.
//
//   bench_io [iterations]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "torva/io.hpp"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

template <class F>
double ms_per_call(int iterations, F&& f) {
    f();  // warm the page cache
    const auto t0 = Clock::now();
    for (int i = 0; i < iterations; ++i) f();
    const std::chrono::duration<double, std::milli> dt = Clock::now() - t0;
    return dt.count() / iterations;
}

}  // namespace

int main(int argc, char** argv) {
    const int iterations = argc > 1 ? std::atoi(argv[1]) : 200;
    const fs::path data = fs::path(TORVA_DATA_DIR);

    fs::path largest;
    std::uintmax_t largest_size = 0;
    for (const auto& entry : fs::recursive_directory_iterator(data)) {
        if (entry.is_regular_file() && entry.path().extension() == ".pdb" && entry.file_size() > largest_size) {
            largest = entry.path();
            largest_size = entry.file_size();
        }
    }
    if (largest.empty()) {
        std::fprintf(stderr, "no PDB file under %s\n", data.c_str());
        return 1;
    }
    const std::string path = largest.string();

    std::size_t residues = 0;
    const double read_ms = ms_per_call(iterations, [&] {
        auto d = torva::read_pdb(path);
        if (!d) std::abort();
        residues = d.value().size();
    });
    std::printf("read_pdb            %-28s %8.1f KB %5zu residues  %8.3f ms/read\n", largest.filename().c_str(),
                static_cast<double>(largest_size) / 1024.0, residues, read_ms);

    const std::string out = (fs::temp_directory_path() / "torva_bench_io.pdb").string();
    torva::Transform t;
    t.translation = {1.0, 2.0, 3.0};
    const double transform_ms = ms_per_call(iterations / 4 + 1, [&] {
        if (!torva::transform_pdb_file(path, out, t)) std::abort();
    });
    std::printf("transform_pdb_file  %-28s %8.1f KB                 %8.3f ms/file (%.0f MB/s)\n",
                largest.filename().c_str(), static_cast<double>(largest_size) / 1024.0, transform_ms,
                static_cast<double>(largest_size) / 1e6 / (transform_ms / 1e3));
    fs::remove(out);

    const std::string pdb = (data / "1k6p.pdb").string();
    const std::string dssp = (data / "1k6p.dssp").string();
    auto base = torva::read_pdb(pdb);
    if (!base) return 1;
    const double dssp_ms = ms_per_call(iterations, [&] {
        torva::Domain d = base.value();
        if (!torva::apply_dssp(d, dssp)) std::abort();
    });
    std::printf("apply_dssp          %-28s %8.1f KB                 %8.3f ms/file\n", "1k6p.dssp",
                static_cast<double>(fs::file_size(dssp)) / 1024.0, dssp_ms);

    // A single-model file read to its end: the reader's full-pass cost.
    const std::string full = (data / "families" / "microbial_ribonuclease" / "1rgg.pdb").string();
    if (fs::exists(full)) {
        const double full_ms = ms_per_call(iterations, [&] {
            if (!torva::read_pdb(full)) std::abort();
        });
        std::printf("read_pdb            %-28s %8.1f KB                 %8.3f ms/read\n", "1rgg.pdb (one model)",
                    static_cast<double>(fs::file_size(full)) / 1024.0, full_ms);
    }
    return 0;
}
