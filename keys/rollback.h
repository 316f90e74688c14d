// The undo of a write that takes several card commands: each step is added
// as soon as the write it undoes may have begun, and unless the whole write
// is committed, the steps run in reverse order when the rollback goes out
// of scope. Steps ignore their own failures: the caller is already
// reporting one.
#pragma once

#include "card/card_context.h"

#include <array>
#include <cstddef>
#include <functional>

namespace korva::keys {

class Rollback final {
public:
    using Step = std::function<void(CardContext&)>;
    static constexpr std::size_t kCapacity = 6;

    explicit Rollback(CardContext& context) noexcept : context_(context) {}
    Rollback(const Rollback&) = delete;
    Rollback& operator=(const Rollback&) = delete;
    ~Rollback() {
        if (committed_) return;
        while (count_ > 0) {
            try {
                steps_[--count_](context_);
            } catch (...) {
                // An undo step that cannot run leaves its write in place.
            }
        }
    }

    // A write that has no room for its undo must not begin: false then.
    [[nodiscard]] bool add(Step step) {
        if (count_ == kCapacity) return false;
        steps_[count_++] = std::move(step);
        return true;
    }
    void commit() noexcept { committed_ = true; }

private:
    CardContext& context_;
    std::array<Step, kCapacity> steps_{};
    std::size_t count_ = 0;
    bool committed_ = false;
};

}  // namespace korva::keys
