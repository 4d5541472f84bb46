// Helpers shared by the core tests.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

#include "torva/cancel.hpp"
#include "torva/io.hpp"

namespace torva::test {

// A real entry of the shared data folder beside the checkout (path relative to it). The
// entries are not part of the project: where the folder is absent, the message below makes
// CTest count the test as skipped (see tests/CMakeLists.txt).
inline std::string data_path(const std::string& relative) {
    std::string path = std::string(TORVA_TEST_DATA) + "/" + relative;
    if (!std::filesystem::exists(path))
        throw std::runtime_error("test data not found: " + relative + " is expected in " TORVA_TEST_DATA);
    return path;
}

// A real entry read with the library's reader; `chain` as read_pdb takes it. Throws when it
// cannot be read.

inline Domain load(const std::string& relative, std::optional<char32_t> chain = std::nullopt) {
    auto d = read_pdb(data_path(relative), chain);
    if (!d.ok()) throw std::runtime_error(d.error().message);
    return std::move(d).value();
}

// A bundled entry, with every atom moved by `t` and the identifier given.
inline Domain moved(const Domain& d, const Transform& t, std::string id) {
    Domain out = d;
    for (Residue& r : out.residues) r.coord = t.apply(r.coord);
    out.id = std::move(id);
    return out;
}

// A fresh directory for each test, removed afterwards.
class TempDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/torva-test-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    static std::string slurp(const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

    std::string dir_;
};

// Hands out Cancels that count how often they were asked and ask to stop at
// question `stop_at` (never when 0).
class CountingCancel {
public:
    explicit CountingCancel(std::size_t stop_at = 0) : state_(std::make_shared<State>()) { state_->stop_at = stop_at; }

    Cancel cancel() const {
        return Cancel([s = state_] {
            ++s->asked;
            return s->stop_at != 0 && s->asked >= s->stop_at;
        });
    }
    std::size_t asked() const { return state_->asked; }

private:
    struct State {
        std::size_t stop_at = 0;
        std::size_t asked = 0;
    };
    std::shared_ptr<State> state_;
};

}  // namespace torva::test
