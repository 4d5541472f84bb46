// Helpers shared by the core tests.
#pragma once

#include <cstddef>
#include <memory>

#include "torva/cancel.hpp"

namespace torva::testing {

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

}  // namespace torva::testing
