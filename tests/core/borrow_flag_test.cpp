// The access rules behind LinearReservoir's writable attributes. The flag
// lives with the boundary but needs no interpreter, so it is tested here.
#include "../../src/python/borrow_flag.hpp"

#include <atomic>
#include <thread>
#include <vector>

#include "check.hpp"

using tarnwick::python::BorrowFlag;

TEST(borrow_flag_shared_and_exclusive_exclude_each_other) {
    BorrowFlag flag;
    CHECK(flag.try_shared());
    CHECK(flag.try_shared());      // readers share
    CHECK(!flag.try_exclusive());  // "Already borrowed"
    flag.release_shared();
    CHECK(!flag.try_exclusive());  // one reader left
    flag.release_shared();
    CHECK(flag.try_exclusive());
    CHECK(!flag.try_shared());     // "Already mutably borrowed"
    CHECK(!flag.try_exclusive());  // a second writer: "Already borrowed"
    flag.release_exclusive();
    CHECK(flag.try_shared());
    flag.release_shared();
    CHECK(flag.try_exclusive());
    flag.release_exclusive();
}

TEST(borrow_flag_never_lets_a_reader_see_a_half_written_value) {
    // Writers store two fields that must always agree; readers check them.
    // A refused access yields and retries until every thread has done its
    // share, so both sides are exercised however the threads are scheduled.
    BorrowFlag flag;
    long first = 0;
    long second = 0;
    std::atomic<long> torn{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        const bool writer = t % 2 == 0;
        threads.emplace_back([&, writer, t] {
            for (long done = 0; done < 50000;) {
                if (writer ? !flag.try_exclusive() : !flag.try_shared()) {
                    std::this_thread::yield();
                    continue;
                }
                if (writer) {
                    first = done * 4 + t;
                    second = done * 4 + t;
                    flag.release_exclusive();
                } else {
                    const long a = first;
                    const long b = second;
                    flag.release_shared();
                    if (a != b) ++torn;
                }
                ++done;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    CHECK_EQ(torn.load(), 0);
    CHECK(flag.try_exclusive());  // every access was released
}
