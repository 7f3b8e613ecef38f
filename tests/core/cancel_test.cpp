#include "cancel.hpp"

#include "check.hpp"
#include "muskingum.hpp"

using namespace tarnwick;

namespace {
int asked = 0;
bool stop_on_third() { return ++asked == 3; }
}  // namespace

TEST(cancel_hook_stops_unbounded_work) {
    // 10^18 sub-reaches over two values: the hook is asked about once per
    // million steps and the third answer ends the computation.
    set_cancel_hook(stop_on_third);
    bool cancelled = false;
    try {
        muskingum::run_muskingum_routing({{1.0, 2.0}, "discharge", 3600},
                                         {3600.0, 0.2, 1'000'000'000'000'000'000, 0.0});
    } catch (const Cancelled&) {
        cancelled = true;
    }
    set_cancel_hook(nullptr);
    CHECK(cancelled);
    CHECK_EQ(asked, 3);
}
