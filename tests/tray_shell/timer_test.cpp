// TSimpleTimer: arming, the Period and OnElapsed rules, the shared handler
// and the WM_TIMER path with identifiers of no live timer.
#include "SimpleTimer.h"

#include <QTest>

#include <gtest/gtest.h>

#include <memory>

using namespace pruvell;

namespace {
struct Counting {
    int count = 0;
    TSimpleTimer* lastSender = nullptr;
    TSimpleTimerEvent Handler() {
        return [this](TSimpleTimer* sender) {
            ++count;
            lastSender = sender;
        };
    }
};
} // namespace

TEST(SimpleTimer, CreateGivesOneSecondIdleTimerAndZeroPeriodNeverArms) {
    TSimpleTimer timer;
    EXPECT_EQ(timer.Period(), 1000u);
    EXPECT_FALSE(timer.Active());
    timer.SetPeriod(0);
    EXPECT_FALSE(timer.Arm());
    EXPECT_FALSE(timer.Active());
    EXPECT_FALSE(TSimpleTimerHandler::Instance()->IsTimerSet(timer.Id()));
}

TEST(SimpleTimer, ArmedTimerCallsOnElapsedWithItselfAsSender) {
    Counting c;
    TSimpleTimer timer(10, c.Handler());
    ASSERT_TRUE(timer.Arm());
    EXPECT_TRUE(timer.Active());
    EXPECT_TRUE(QTest::qWaitFor([&] { return c.count >= 2; }, 5000));
    EXPECT_EQ(c.lastSender, &timer);
}

TEST(SimpleTimer, PeriodZeroKillsTheSystemTimerButKeepsActiveAndANewPeriodRestarts) {
    Counting c;
    TSimpleTimer timer(10, c.Handler());
    timer.SetActive(true);
    timer.SetPeriod(0);
    EXPECT_TRUE(timer.Active());
    EXPECT_FALSE(TSimpleTimerHandler::Instance()->IsTimerSet(timer.Id()));
    timer.SetPeriod(10);
    EXPECT_TRUE(TSimpleTimerHandler::Instance()->IsTimerSet(timer.Id()));
    EXPECT_TRUE(QTest::qWaitFor([&] { return c.count >= 1; }, 5000));
}

TEST(SimpleTimer, ClearingOnElapsedWhileActiveKillsTheSystemTimerOnly) {
    Counting c;
    TSimpleTimer timer(10, c.Handler());
    timer.SetActive(true);
    timer.SetOnElapsed(nullptr);
    EXPECT_TRUE(timer.Active());
    EXPECT_FALSE(TSimpleTimerHandler::Instance()->IsTimerSet(timer.Id()));
}

TEST(SimpleTimer, DisarmWithAndWithoutDisable) {
    TSimpleTimer timer(50, [](TSimpleTimer*) {});
    ASSERT_TRUE(timer.Arm());
    EXPECT_TRUE(timer.Disarm(false));
    EXPECT_TRUE(timer.Active());
    EXPECT_FALSE(timer.Disarm(true)); // nothing left to kill
    EXPECT_FALSE(timer.Active());
}

// A WM_TIMER still queued for a destroyed timer, or carrying a number that
// names no timer at all, must not reach any object.
TEST(SimpleTimer, TimerMessagesForUnknownIdentifiersDoNothing) {
    Counting c;
    TSimpleTimer keeper(1000, c.Handler()); // keeps the handler alive
    std::uint32_t staleId = 0;
    {
        Counting gone;
        TSimpleTimer doomed(10, gone.Handler());
        doomed.Arm();
        staleId = doomed.Id();
    }
    TSimpleTimerHandler* h = TSimpleTimerHandler::Instance();
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->WindowProc(WM_TIMER, staleId, 0), 0);
    EXPECT_EQ(h->WindowProc(WM_TIMER, reinterpret_cast<std::uintptr_t>(&keeper), 0), 0);
    EXPECT_EQ(h->WindowProc(WM_TIMER, std::uintptr_t(0x1234567890ull), 0), 0);
    EXPECT_EQ(c.count, 0);
    h->WindowProc(WM_TIMER, keeper.Id(), 0);
    EXPECT_EQ(c.count, 1);
}

TEST(SimpleTimer, LastTimerFreesTheSharedHandlerAndANewOneMakesItAgain) {
    ASSERT_EQ(TSimpleTimerHandler::Instance(), nullptr);
    std::uint32_t firstId = 0;
    {
        TSimpleTimer a, b;
        EXPECT_EQ(TSimpleTimerHandler::Instance()->UserCount(), 2);
        firstId = a.Id();
    }
    EXPECT_EQ(TSimpleTimerHandler::Instance(), nullptr);
    TSimpleTimer c;
    EXPECT_NE(TSimpleTimerHandler::Instance(), nullptr);
    EXPECT_NE(c.Id(), firstId); // numbers are not reused
}

TEST(SimpleTimer, TheLastTimerMayDestroyItselfInItsOwnHandler) {
    auto timer = std::make_unique<TSimpleTimer>();
    bool fired = false;
    timer->SetOnElapsed([&](TSimpleTimer*) {
        fired = true;
        timer.reset();
    });
    timer->SetPeriod(5);
    ASSERT_TRUE(timer->Arm());
    EXPECT_TRUE(QTest::qWaitFor([&] { return fired; }, 5000));
    EXPECT_EQ(TSimpleTimerHandler::Instance(), nullptr);
}

TEST(SimpleTimer, OtherMessagesGoToTheDefaultProcedure) {
    TSimpleTimer timer;
    EXPECT_EQ(TSimpleTimerHandler::Instance()->WindowProc(0x0011, 0, 0), 0);
}
