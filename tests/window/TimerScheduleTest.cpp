// A sleeping window timer's schedule: when a woken timer ticks again, and
// what the host must arm or disarm at each step.

#include "window/TimerSchedule.h"

#include <gtest/gtest.h>

namespace zelmora {
namespace {

using Clock = CTimerSchedule::Clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

TEST(TimerSchedule, AWokenTimerTicksInStepWithItsLastTick) {
    const Clock::time_point start{};
    CTimerSchedule schedule;
    schedule.Start(40, start);
    EXPECT_FALSE(schedule.OnTick(start + milliseconds(40)));
    ASSERT_TRUE(schedule.Sleep());
    EXPECT_FALSE(schedule.IsAwake());
    EXPECT_EQ(schedule.GetPeriod(), 40);

    // Asleep for two and a bit periods: the next moment in step is 160.
    EXPECT_EQ(schedule.Wake(start + milliseconds(135)), 25);
    EXPECT_TRUE(schedule.IsAwake());
    // The single shot's tick puts the periodic timer back, once.
    EXPECT_TRUE(schedule.OnTick(start + milliseconds(160)));
    EXPECT_FALSE(schedule.OnTick(start + milliseconds(200)));

    // A part of a millisecond left is waited in full, never cut short.
    ASSERT_TRUE(schedule.Sleep());
    EXPECT_EQ(schedule.Wake(start + milliseconds(230) + microseconds(300)), 10);
    // Woken before the next moment in step: the moment itself.
    schedule.OnTick(start + milliseconds(240));
    ASSERT_TRUE(schedule.Sleep());
    EXPECT_EQ(schedule.Wake(start + milliseconds(241)), 39);
    // Woken on a moment in step: never sooner than it, never a period late.
    schedule.OnTick(start + milliseconds(280));
    ASSERT_TRUE(schedule.Sleep());
    const std::optional<int> wait = schedule.Wake(start + milliseconds(320));
    ASSERT_TRUE(wait.has_value());
    EXPECT_GE(*wait, 0);
    EXPECT_LE(*wait, 40);
}

TEST(TimerSchedule, OnlyAStartedTimerSleepsAndWakes) {
    const Clock::time_point start{};
    CTimerSchedule schedule;
    EXPECT_EQ(schedule.GetPeriod(), -1);
    EXPECT_FALSE(schedule.Sleep());
    EXPECT_FALSE(schedule.Wake(start).has_value());

    schedule.Start(10, start);
    EXPECT_TRUE(schedule.IsAwake());
    EXPECT_FALSE(schedule.Wake(start).has_value()); // already awake
    EXPECT_TRUE(schedule.Sleep());
    EXPECT_FALSE(schedule.Sleep()); // already asleep: nothing to disarm
    // A tick already on its way when the timer went to sleep asks for
    // nothing to be armed.
    EXPECT_FALSE(schedule.OnTick(start + milliseconds(10)));

    // Stopped while asleep: it stays stopped.
    schedule.Stop();
    EXPECT_FALSE(schedule.IsAwake());
    EXPECT_FALSE(schedule.Wake(start + milliseconds(50)).has_value());

    // Started again while asleep: awake, periodic, no single shot pending.
    schedule.Start(10, start);
    schedule.Sleep();
    schedule.Start(20, start + milliseconds(100));
    EXPECT_TRUE(schedule.IsAwake());
    EXPECT_FALSE(schedule.OnTick(start + milliseconds(120)));

    // A period below zero is taken as none: woken, it ticks at once.
    schedule.Start(-5, start);
    EXPECT_EQ(schedule.GetPeriod(), 0);
    schedule.Sleep();
    EXPECT_EQ(schedule.Wake(start + milliseconds(7)), 0);
}

} // namespace
} // namespace zelmora
