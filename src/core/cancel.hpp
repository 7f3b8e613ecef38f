// Stopping a long computation from outside.
//
// A computation whose work is not bounded by the size of its inputs (a reach
// split into 10^18 sub-reaches, a step of years routed second by second, a
// convolution of a million ordinates) counts its inner steps on a
// CancelCountdown. Every cancel_interval steps the countdown asks the hook
// its caller installed whether to go on; when the hook says stop, Cancelled
// is thrown and the whole computation unwinds, its partial results
// discarded. Counting costs a subtraction per block of work; the hook runs
// about once per million steps.
#pragma once

#include <atomic>
#include <cstdint>

namespace tarnwick {

// Thrown when the hook asks to stop. Deliberately not a std::exception: it
// carries no message, since the hook's owner knows (and has recorded) why.
struct Cancelled {};

// Returns true when the running computation must stop. Called only from the
// thread running the computation, between steps.
using CancelHook = bool (*)();

inline constexpr std::uint64_t cancel_interval = std::uint64_t{1} << 20;

namespace detail {
inline std::atomic<CancelHook> cancel_hook{nullptr};
}

// Installs the hook for every later computation in the process (nullptr:
// nothing is ever stopped).
inline void set_cancel_hook(CancelHook hook) noexcept { detail::cancel_hook.store(hook, std::memory_order_release); }

// Counts the steps of one computation and asks the hook every
// cancel_interval of them.
class CancelCountdown {
 public:
    // `steps` more steps are done; throws Cancelled if the hook says stop.
    void add(std::uint64_t steps) {
        if (steps < left_) [[likely]] {
            left_ -= steps;
            return;
        }
        left_ = cancel_interval;
        ask();
    }

 private:
    static void ask() {
        const CancelHook hook = detail::cancel_hook.load(std::memory_order_acquire);
        if (hook != nullptr && hook()) throw Cancelled{};
    }

    std::uint64_t left_ = cancel_interval;
};

}  // namespace tarnwick
