// Helpers shared by the core benchmarks.
#pragma once

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "torva/io.hpp"

namespace bench {

// The calling thread's CPU time in milliseconds: steadier than the wall clock
// on a machine shared with other work.
inline double cpu_ms() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) * 1e-6;
}

// A bundled entry: a path relative to the shared data folder beside the checkout (or an absolute one), chain A
// unless told otherwise. Exits with the reader's message when it cannot be read.
inline torva::Domain load(const std::string& name, char32_t chain = U'A') {
    std::filesystem::path p(name);
    if (p.is_relative()) p = std::filesystem::path(TORVA_DATA_DIR) / p;
    auto d = torva::read_pdb(p.string(), chain);
    if (!d) {
        std::fprintf(stderr, "%s: %s\n", p.c_str(), d.error().message.c_str());
        std::exit(1);
    }
    return std::move(d).value();
}

}  // namespace bench
