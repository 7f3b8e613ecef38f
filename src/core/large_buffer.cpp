#include "large_buffer.hpp"

#include <algorithm>
#include <atomic>
#include <bit>

#include "memory_limit.hpp"

namespace tarnwick::buffers {

namespace {

// Bytes parked by every thread together.
std::atomic<std::size_t> parked_total{0};

// Blocks are handed out in size classes of eight per doubling (whole pages
// at least), so that series of nearly the same length share blocks and a
// block is never more than an eighth larger than its request.
std::size_t size_class(std::size_t bytes) {
    const int top = std::bit_width(bytes) - 1;
    const std::size_t step = std::size_t{1} << std::max(top - 3, 12);
    return (bytes + step - 1) & ~(step - 1);
}

// A block parked longer than this many later releases of the same thread is
// freed: after one very long series, a loop over short ones does not keep
// its buffers forever.
constexpr std::uint64_t max_age = 256;

// One thread's parked blocks, most recently parked last. Enough slots for
// every buffer a chain of calls frees between two uses of the same sizes.
class ThreadCache {
 public:
    ~ThreadCache() {
        clear();
        gone_ = true;
    }

    void* take(std::size_t bytes) {
        for (std::size_t i = count_; i-- > 0;) {
            if (slots_[i].bytes != bytes) continue;
            void* block = slots_[i].block;
            remove(i);
            parked_total.fetch_sub(bytes, std::memory_order_relaxed);
            return block;
        }
        return nullptr;
    }

    // Parks `block`, or frees it where it cannot stay within the bounds.
    void park(void* block, std::size_t bytes) {
        ++clock_;
        for (std::size_t i = 0; i < count_;) {
            if (clock_ - slots_[i].parked_at > max_age)
                evict(i);
            else
                ++i;
        }
        const std::size_t bound = parked_bound();
        if (bytes > bound) {
            ::operator delete(block);
            return;
        }
        if (count_ == slots) evict(0);
        std::size_t total = parked_total.fetch_add(bytes, std::memory_order_relaxed) + bytes;
        // Other threads' blocks count against the bound too, but only this
        // thread's can be evicted here: the oldest go first.
        while (total > bound && count_ > 0) {
            total -= slots_[0].bytes;
            evict(0);
        }
        if (total > bound) {
            parked_total.fetch_sub(bytes, std::memory_order_relaxed);
            ::operator delete(block);
            return;
        }
        slots_[count_++] = {block, bytes, clock_};
    }

    std::size_t bytes() const {
        std::size_t sum = 0;
        for (std::size_t i = 0; i < count_; ++i) sum += slots_[i].bytes;
        return sum;
    }

    void clear() {
        while (count_ > 0) evict(count_ - 1);
    }

    // After the thread's destructor ran, a block freed during the rest of
    // its exit goes straight back to the C library.
    static bool gone() { return gone_; }

 private:
    struct Slot {
        void* block;
        std::size_t bytes;
        std::uint64_t parked_at;
    };
    static constexpr std::size_t slots = 32;

    void remove(std::size_t i) {
        std::copy(slots_ + i + 1, slots_ + count_, slots_ + i);
        --count_;
    }

    void evict(std::size_t i) {
        ::operator delete(slots_[i].block);
        parked_total.fetch_sub(slots_[i].bytes, std::memory_order_relaxed);
        remove(i);
    }

    Slot slots_[slots]{};
    std::size_t count_ = 0;
    std::uint64_t clock_ = 0;
    // A trivial thread-local: readable even after the cache is destroyed.
    static thread_local bool gone_;
};

thread_local bool ThreadCache::gone_ = false;

ThreadCache& thread_cache() {
    thread_local ThreadCache cache;
    return cache;
}

}  // namespace

std::size_t parked_bound() noexcept {
    // An eighth of the memory the process can be given, at most 1 GiB: room
    // for the buffers of repeated calls on series of ten million values
    // (80 MB each), without ever holding a notable share of the memory idle.
    static const std::size_t bound = [] {
        constexpr std::uint64_t cap = std::uint64_t{1} << 30;
        const std::uint64_t limit = memory_limit_bytes();
        if (limit == 0) return static_cast<std::size_t>(cap / 4);
        return static_cast<std::size_t>(std::min(limit / 8, cap));
    }();
    return bound;
}

std::size_t parked_bytes() noexcept { return parked_total.load(std::memory_order_relaxed); }

std::size_t thread_parked_bytes() noexcept { return ThreadCache::gone() ? 0 : thread_cache().bytes(); }

void* acquire(std::size_t bytes) {
    const std::size_t rounded = size_class(bytes);
    if (!ThreadCache::gone()) {
        if (void* block = thread_cache().take(rounded)) return block;
    }
    return ::operator new(rounded);
}

void release(void* block, std::size_t bytes) noexcept {
    if (block == nullptr) return;
    if (ThreadCache::gone()) {
        ::operator delete(block);
        return;
    }
    thread_cache().park(block, size_class(bytes));
}

void release_thread_cache() noexcept {
    if (!ThreadCache::gone()) thread_cache().clear();
}

}  // namespace tarnwick::buffers
