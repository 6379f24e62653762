// Parts shared between the caller and a helper thread: every part's result is the work's, in
// whichever thread did it, and the caller never depends on the helper getting anything done.
#include "common/shared_parts.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vesko {
namespace {

struct Result {
    std::vector<std::size_t> values;
    std::thread::id done_by;
};

// Part k's result: the numbers k*10 .. k*10+k.
void fill(std::size_t k, Result& out) {
    out.values.clear();
    for (std::size_t i = 0; i <= k; ++i) out.values.push_back(k * 10 + i);
    out.done_by = std::this_thread::get_id();
}

void expect_filled(const Result& got, std::size_t k) {
    ASSERT_EQ(got.values.size(), k + 1);
    for (std::size_t i = 0; i <= k; ++i) EXPECT_EQ(got.values[i], k * 10 + i);
}

using Start = SharedParts<Result>::HelperStart;

TEST(SharedParts, EveryPartHoldsItsWorkWhoeverDidIt) {
    struct Case {
        std::size_t parts;
        Start start;
    };
    for (const Case& c : {Case{0, Start::Front}, Case{1, Start::Back}, Case{2, Start::Front},
                          Case{7, Start::Back}, Case{64, Start::Front}, Case{64, Start::Back}}) {
        SCOPED_TRACE(std::to_string(c.parts) + (c.start == Start::Front ? " front" : " back"));
        SharedParts<Result> shared(c.parts, fill, c.start);
        ASSERT_EQ(shared.size(), c.parts);
        for (std::size_t k = 0; k < c.parts; ++k) expect_filled(shared.get(k), k);
        // Asking again gives the same result.
        for (std::size_t k = 0; k < c.parts; ++k) expect_filled(shared.get(k), k);
    }
}

TEST(SharedParts, TheCallerRedoesWhatTheHelperFailsOn) {
    const auto caller = std::this_thread::get_id();
    SharedParts<Result> shared(
        16,
        [caller](std::size_t k, Result& out) {
            if (std::this_thread::get_id() != caller) throw std::runtime_error("helper fails");
            fill(k, out);
        },
        Start::Front);
    for (std::size_t k = 0; k < 16; ++k) {
        const Result& got = shared.get(k);
        expect_filled(got, k);
        EXPECT_EQ(got.done_by, caller);
    }
}

TEST(SharedParts, TheCallerDoesNotWaitForAStalledHelper) {
    // The helper stalls in the first part it takes (it takes part 3 first, from the back); the
    // caller gets every part, that one done by itself.
    const auto caller = std::this_thread::get_id();
    std::atomic<bool> helper_started{false};
    SharedParts<Result> shared(
        4,
        [&](std::size_t k, Result& out) {
            if (std::this_thread::get_id() != caller) {
                helper_started = true;
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
            }
            fill(k, out);
        },
        Start::Back);
    // Let the helper take its part before the caller asks for anything.
    while (!helper_started) std::this_thread::yield();
    for (std::size_t k = 0; k < 4; ++k) expect_filled(shared.get(k), k);
    EXPECT_EQ(shared.get(3).done_by, caller);
}

TEST(SharedParts, PartsTakenAsReadyComeOnceEachWithTheirWork) {
    // The helper is prompt, slow, or stalled in its first part; the caller takes whatever is
    // ready. Every part comes exactly once with its own work, and a stalled helper never holds
    // the caller up: part 0, which it sits on, is redone by the caller.
    const auto caller = std::this_thread::get_id();
    for (const int helper_delay_ms : {0, 1, 300}) {
        for (const std::size_t parts : std::initializer_list<std::size_t>{0, 1, 2, 7, 64}) {
            SCOPED_TRACE(std::to_string(parts) + " parts, helper delay " +
                         std::to_string(helper_delay_ms));
            std::atomic<bool> helper_started{false};
            SharedParts<Result> shared(
                parts,
                [&](std::size_t k, Result& out) {
                    if (std::this_thread::get_id() != caller) {
                        helper_started = true;
                        std::this_thread::sleep_for(std::chrono::milliseconds(helper_delay_ms));
                    }
                    fill(k, out);
                },
                Start::Front);
            if (helper_delay_ms == 300 && parts >= 2) {
                while (!helper_started) std::this_thread::yield();
            }
            std::vector<int> seen(parts, 0);
            while (auto ready = shared.next_ready()) {
                ASSERT_LT(ready->first, parts);
                ++seen[ready->first];
                expect_filled(*ready->second, ready->first);
                if (helper_delay_ms == 300) {
                    EXPECT_EQ(ready->second->done_by, caller);
                }
            }
            for (std::size_t k = 0; k < parts; ++k) EXPECT_EQ(seen[k], 1) << k;
            EXPECT_FALSE(shared.next_ready());
        }
    }
}

TEST(SharedParts, DestroyingWithPartsUntakenLeavesTheWorkAlone) {
    // The caller takes only the first part; once the object is gone the work must never run
    // again, though the helper thread may still be on its way.
    auto calls = std::make_shared<std::atomic<int>>(0);
    std::atomic<bool> gone{false};
    std::atomic<int> after_gone{0};
    {
        SharedParts<Result> shared(
            1000,
            [&, calls](std::size_t k, Result& out) {
                if (gone) ++after_gone;
                ++*calls;
                fill(k, out);
            },
            Start::Back);
        expect_filled(shared.get(0), 0);
    }
    gone = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(after_gone.load(), 0);
    EXPECT_GE(calls->load(), 1);
}

}  // namespace
}  // namespace vesko
