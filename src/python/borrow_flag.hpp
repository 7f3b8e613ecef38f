// Shared/exclusive access to one instance, without waiting.
//
// Kept free of Python.h so that its rules can be unit-tested on their own.
// Only the class with writable attributes uses it: a read while a write is in
// progress fails with "Already mutably borrowed", a write while any other
// access is in progress with "Already borrowed". With the interpreter lock
// held neither can happen; without it, they keep a concurrent read from
// seeing a half-written value.
//
// The state is the number of shared holders, or -1 while one exclusive holder
// has it. Taking access never blocks: it either succeeds at once or reports
// failure, so a thread can never wait on another while holding the
// interpreter.
#pragma once

#include <atomic>

namespace tarnwick::python {

class BorrowFlag {
 public:
    bool try_shared() {
        int state = state_.load(std::memory_order_relaxed);
        do {
            if (state < 0) return false;
        } while (!state_.compare_exchange_weak(state, state + 1, std::memory_order_acquire));
        return true;
    }
    void release_shared() { state_.fetch_sub(1, std::memory_order_release); }
    bool try_exclusive() {
        int idle = 0;
        return state_.compare_exchange_strong(idle, -1, std::memory_order_acquire);
    }
    void release_exclusive() { state_.store(0, std::memory_order_release); }

 private:
    std::atomic<int> state_{0};
};

}  // namespace tarnwick::python
