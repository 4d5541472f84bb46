// The object layout of the module's classes: one record per instance behind a
// borrow flag. Kept apart from binding.hpp so that dovelkit._core, which links
// the same core, can reach the record of a dovel.Domain it is handed (to apply
// DSSP text to it) through this one definition of the layout.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <new>

namespace dovel {

// Per-instance borrow counter: 0 free, n > 0 shared borrows, -1 exclusive.
class BorrowFlag {
public:
    void acquire_shared();     // RuntimeError "Already mutably borrowed"
    void acquire_exclusive();  // RuntimeError "Already borrowed"
    void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }
    void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }
    // The exclusive borrow when the record is free (for code outside this module's binding layer).
    bool try_acquire_exclusive() noexcept {
        std::int32_t expected = 0;
        return state_.compare_exchange_strong(expected, -1, std::memory_order_acquire);
    }

private:
    std::atomic<std::int32_t> state_{0};
};

// Object layout of a class holding one record `T`.
template <class T>
struct Instance {
    PyObject ob_base;
    BorrowFlag borrow;
    bool constructed;
    alignas(T) unsigned char storage[sizeof(T)];

    T& value() noexcept { return *std::launder(reinterpret_cast<T*>(storage)); }
};

}  // namespace dovel
