#include "large_buffer.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <limits>
#include <mutex>
#include <thread>

#include "memory_limit.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tarnwick::buffers {

namespace {

// Blocks are handed out in size classes of eight per doubling (whole pages
// at least), so that series of nearly the same length share blocks and a
// block is never more than an eighth larger than its request. From 4 MiB on
// a block is a whole number of 2 MiB huge pages, mapped on its own at a huge
// page's boundary (on Linux), so that the kernel can back all of it with
// huge pages, and no block is more than 2 MiB larger than its request: an
// address-space limit is then not overrun by rounding.
constexpr int min_step_bits = 12;
constexpr std::size_t huge_page = std::size_t{2} << 20;
constexpr std::size_t mapped_bytes = 2 * huge_page;

std::size_t size_class(std::size_t bytes) {
    const int top = std::bit_width(bytes) - 1;
    const std::size_t step = std::size_t{1} << std::max(top - 3, min_step_bits);
    const std::size_t rounded = (bytes + step - 1) & ~(step - 1);
    if (rounded < mapped_bytes) return rounded;
    return (bytes + huge_page - 1) & ~(huge_page - 1);
}

#if defined(__linux__)
// A mapping of `bytes` (whole huge pages) at a huge page's boundary, advised
// to be backed by huge pages: mapped with room to slide, then trimmed. Where
// that room is refused (an address-space limit), an unaligned mapping.
void* map_block(std::size_t bytes) {
    const std::size_t slack = huge_page - 4096;
    constexpr int protection = PROT_READ | PROT_WRITE;
    constexpr int flags = MAP_PRIVATE | MAP_ANONYMOUS;
    void* mapped = mmap(nullptr, bytes + slack, protection, flags, -1, 0);
    if (mapped == MAP_FAILED) {
        mapped = mmap(nullptr, bytes, protection, flags, -1, 0);
        if (mapped == MAP_FAILED) throw std::bad_alloc();
        return mapped;
    }
    const auto start = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t aligned = (start + huge_page - 1) & ~(huge_page - 1);
    const std::size_t head = aligned - start;
    if (head != 0) munmap(mapped, head);
    if (slack - head != 0) munmap(reinterpret_cast<void*>(aligned + bytes), slack - head);
    (void)madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE);  // a refusal is harmless
    return reinterpret_cast<void*>(aligned);
}
#endif

// A fresh block of a size class, and its return to the system.
void* new_block(std::size_t bytes) {
#if defined(__linux__)
    if (bytes >= mapped_bytes) return map_block(bytes);
#endif
    return ::operator new(bytes);
}

void free_block(void* block, std::size_t bytes) noexcept {
#if defined(__linux__)
    if (bytes >= mapped_bytes) {
        munmap(block, bytes);
        return;
    }
#endif
    ::operator delete(block);
}

// A block parked longer than this many later releases (of any thread) is
// freed: after one very long series, a loop over short ones does not keep its
// buffers for ever, nor does a thread that stopped calling while others go on.
constexpr std::uint64_t max_age = 256;

// A lock that never throws nor allocates, for a few hundred nanoseconds of
// work at most; a waiter yields its core rather than spin against a holder
// that was preempted.
class SpinLock {
 public:
    void lock() noexcept {
        while (held_.exchange(true, std::memory_order_acquire))
            while (held_.load(std::memory_order_relaxed)) std::this_thread::yield();
    }
    void unlock() noexcept { held_.store(false, std::memory_order_release); }

 private:
    std::atomic<bool> held_{false};
};

// The calling thread's number (from 1), drawn on first need: a trivial
// thread-local, so reading it registers and allocates nothing.
std::atomic<std::uint64_t> threads_seen{0};
thread_local std::uint64_t thread_number = 0;

std::uint64_t this_thread_number() noexcept {
    if (thread_number == 0) thread_number = threads_seen.fetch_add(1, std::memory_order_relaxed) + 1;
    return thread_number;
}

// The parked blocks of the whole process, most recently parked last. One
// cache for all threads: a block freed on one thread is taken by whichever
// calls next (the pool thread that made it, typically), and blocks parked by
// a thread that stopped calling age with everyone's releases. The lock is
// held for a scan of at most `slots` entries; blocks are freed outside it.
class Pool {
 public:
    static constexpr std::size_t slots = 128;

    // The most recently parked block of `bytes` that thread `owner` parked,
    // else that any thread parked: a thread's own blocks are likelier to be
    // still in its core's cache, and two threads calling at once then do not
    // trade each other's blocks back and forth.
    void* take(std::size_t bytes, std::uint64_t owner) noexcept {
        std::lock_guard<SpinLock> hold(lock_);
        std::size_t found = count_;
        for (std::size_t i = count_; i-- > 0;) {
            if (slots_[i].bytes != bytes) continue;
            if (slots_[i].owner == owner) {
                found = i;
                break;
            }
            if (found == count_) found = i;
        }
        if (found == count_) return nullptr;
        void* block = slots_[found].block;
        remove(found);
        return block;
    }

    // Parks `block`, or frees it where it cannot stay within the bounds;
    // frees the blocks that aged out meanwhile.
    void park(void* block, std::size_t bytes, std::size_t bound, std::uint64_t owner) noexcept {
        Freed freed;
        {
            std::lock_guard<SpinLock> hold(lock_);
            ++clock_;
            for (std::size_t i = 0; i < count_;) {
                if (clock_ - slots_[i].parked_at > max_age)
                    freed.add(take_out(i));
                else
                    ++i;
            }
            if (bytes > bound) {
                freed.add({block, bytes, 0, 0});
            } else {
                // The oldest make way, for a free slot and within the bound.
                while (count_ > 0 && (count_ == slots || parked_.load(std::memory_order_relaxed) + bytes > bound))
                    freed.add(take_out(0));
                slots_[count_++] = {block, bytes, clock_, owner};
                parked_.fetch_add(bytes, std::memory_order_relaxed);
            }
        }
        freed.free_all();
    }

    // Frees the blocks parked by thread `owner`, or every block with 0.
    void clear(std::uint64_t owner) noexcept {
        while (true) {
            Freed freed;
            {
                std::lock_guard<SpinLock> hold(lock_);
                for (std::size_t i = 0; i < count_ && !freed.full();) {
                    if (owner == 0 || slots_[i].owner == owner)
                        freed.add(take_out(i));
                    else
                        ++i;
                }
            }
            if (freed.empty()) return;
            freed.free_all();
        }
    }

    std::size_t bytes() const noexcept { return parked_.load(std::memory_order_relaxed); }

 private:
    struct Slot {
        void* block;
        std::size_t bytes;
        std::uint64_t parked_at;
        std::uint64_t owner;
    };

    // Blocks to free once the lock is let go (freeing a mapping takes
    // microseconds).
    class Freed {
     public:
        void add(Slot slot) noexcept { blocks_[count_++] = slot; }
        bool full() const noexcept { return count_ == slots; }
        bool empty() const noexcept { return count_ == 0; }
        void free_all() noexcept {
            for (std::size_t i = 0; i < count_; ++i) free_block(blocks_[i].block, blocks_[i].bytes);
            count_ = 0;
        }

     private:
        Slot blocks_[slots + 1];
        std::size_t count_ = 0;
    };

    void remove(std::size_t i) noexcept {
        parked_.fetch_sub(slots_[i].bytes, std::memory_order_relaxed);
        std::copy(slots_ + i + 1, slots_ + count_, slots_ + i);
        --count_;
    }

    Slot take_out(std::size_t i) noexcept {
        const Slot slot = slots_[i];
        remove(i);
        return slot;
    }

    SpinLock lock_;
    Slot slots_[slots]{};
    std::size_t count_ = 0;
    std::uint64_t clock_ = 0;
    std::atomic<std::size_t> parked_{0};
};

// Constant-initialised and trivially destroyed: usable from any thread's
// exit and during the process's.
constinit Pool pool;

std::atomic<std::size_t> bound{0};

// The blocks a thread parked are freed when it ends, as nothing it would
// reuse them for can follow. Armed by the thread's first acquire (arming
// registers a destructor, which may allocate; a release never does).
struct ThreadEnd {
    bool armed = false;
    ~ThreadEnd() {
        if (armed) pool.clear(this_thread_number());
    }
};
thread_local ThreadEnd thread_end;

// Bytes that values_fit() admitted on this thread and its fresh blocks have
// not taken yet: those blocks were counted, with the parked blocks that made
// their room already freed, and are not judged again one by one. Replaced by
// the next values_fit() of the thread.
thread_local std::uint64_t admitted = 0;

// Whether `bytes` fit in what the limits leave, counting the parked blocks,
// which are freed when they are needed to make the room.
bool admit(std::uint64_t bytes) {
    if (bytes < large_request_bytes) return true;
    const std::uint64_t limit = memory_limit_bytes();
    if (bytes > std::numeric_limits<std::uint64_t>::max() - admission_margin) return false;
    const std::uint64_t needed = bytes + admission_margin;
    if (limit != 0 && needed > limit) return false;
    const std::uint64_t room = memory_room_bytes();
    if (needed <= room) return true;
    const std::uint64_t parked = pool.bytes();
    if (needed - room > parked) return false;
    pool.clear(0);
    return true;
}

}  // namespace

std::size_t block_bytes(std::size_t bytes) noexcept { return bytes < min_cached_bytes ? bytes : size_class(bytes); }

void prepare() {
    if (bound.load(std::memory_order_acquire) != 0) return;
    // An eighth of the memory the process can be given, at most 1 GiB: room
    // for the buffers of repeated calls on series of ten million values
    // (80 MB each); where no limit can be read, a quarter of that.
    constexpr std::uint64_t cap = std::uint64_t{1} << 30;
    const std::uint64_t limit = memory_limit_bytes();
    const std::uint64_t chosen = limit == 0 ? cap / 4 : std::max<std::uint64_t>(std::min(limit / 8, cap), 1);
    bound.store(static_cast<std::size_t>(chosen), std::memory_order_release);
}

std::size_t parked_bound() noexcept { return bound.load(std::memory_order_acquire); }

void* acquire(std::size_t bytes) {
    prepare();
    thread_end.armed = true;
    const std::size_t rounded = size_class(bytes);
    if (void* block = pool.take(rounded, this_thread_number())) return block;
    if (rounded <= admitted)
        admitted -= rounded;
    else if (!admit(rounded))
        throw std::bad_alloc();
    return new_block(rounded);
}

void release(void* block, std::size_t bytes) noexcept {
    if (block == nullptr) return;
    // Every block came from acquire(), which fixed the bound first.
    pool.park(block, size_class(bytes), parked_bound(), this_thread_number());
}

}  // namespace tarnwick::buffers

namespace tarnwick {

bool values_fit(std::uint64_t buffers, std::uint64_t length) {
    // No vector holds more (its max_size()), and a block's rounding cannot
    // wrap below that.
    constexpr std::uint64_t most = std::numeric_limits<std::ptrdiff_t>::max() / sizeof(double);
    if (length > most) return false;
    const std::uint64_t block = buffers::block_bytes(static_cast<std::size_t>(length * sizeof(double)));
    buffers::admitted = 0;
    if (buffers != 0 && block > std::numeric_limits<std::uint64_t>::max() / buffers) return false;
    if (!buffers::admit(buffers * block)) return false;
    buffers::admitted = buffers * block;
    return true;
}

}  // namespace tarnwick
