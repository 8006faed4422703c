// The analysis's helper thread: one task at a time, a serial path for every poster that
// cannot post, and collection that either waits for the task or takes it back unrun.
// These tests also run in the ThreadSanitizer build.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "analysis/helper.h"

namespace {

struct Gate {
    std::atomic<bool> entered{false};   // the task has begun
    std::atomic<bool> open{false};      // the task may end
    std::atomic<int> runs{0};           // times the task ran
    bool nestedPost = true;             // what a post from inside the task gave
};

void gatedTask(void* argument)
{
    Gate& gate = *static_cast<Gate*>(argument);
    gate.entered.store(true);
    gate.nestedPost = helperPost(gatedTask, argument);
    while (!gate.open.load())
        std::this_thread::yield();
    gate.runs.fetch_add(1);
}

void countTask(void* argument)
{
    static_cast<std::atomic<int>*>(argument)->fetch_add(1);
}

TEST(TwoThreads, HelperTakesOneTaskAtATime)
{
    std::atomic<int> count{0};
    // Without a helper nothing is posted: the caller works alone.
    EXPECT_FALSE(helperPost(countTask, &count));
    ASSERT_TRUE(helperStart());
    EXPECT_TRUE(helperStart());   // already running

    Gate gate;
    ASSERT_TRUE(helperPost(gatedTask, &gate));
    while (!gate.entered.load())
        std::this_thread::yield();
    // Busy: a second poster is refused, and so is the helper posting to itself.
    EXPECT_FALSE(helperPost(countTask, &count));
    gate.open.store(true);
    EXPECT_TRUE(helperCollect());   // begun, so awaited
    EXPECT_EQ(gate.runs.load(), 1);
    EXPECT_FALSE(gate.nestedPost);

    // Free again: every posted task either ran once or was taken back unrun.
    int ran = 0;
    for (int k = 0; k < 200; ++k) {
        ASSERT_TRUE(helperPost(countTask, &count));
        ran += helperCollect() ? 1 : 0;
    }
    EXPECT_EQ(count.load(), ran);
    helperStop();
    EXPECT_FALSE(helperPost(countTask, &count));
    // Started again for the next Run.
    ASSERT_TRUE(helperStart());
    ASSERT_TRUE(helperPost(countTask, &count));
    helperCollect();
    helperStop();
}

}  // namespace
