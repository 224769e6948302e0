#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/Clock.h"
#include "platform/Event.h"
#include "platform/RefPtr.h"

TEST(EventTest, ManualResetStaysSignalledForEveryWaiter) {
    Event event(Event::Kind::ManualReset);
    EXPECT_FALSE(event.Wait(0));
    std::atomic<int> woken = 0;
    std::thread a([&] { woken += event.Wait(Event::kInfinite); });
    std::thread b([&] { woken += event.Wait(Event::kInfinite); });
    event.Set();
    a.join();
    b.join();
    EXPECT_EQ(woken, 2);
    EXPECT_TRUE(event.Wait(0));
    event.Reset();
    EXPECT_FALSE(event.Wait(10));
}

TEST(EventTest, AutoResetReleasesOneWaitAndClears) {
    Event event(Event::Kind::AutoReset, true);
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.Wait(0));
    event.Set();
    EXPECT_TRUE(event.IsSet());
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.IsSet());
}

TEST(EventTest, TimedWaitGivesUpAfterItsTime) {
    Event event(Event::Kind::ManualReset);
    const auto before = timeGetTime();
    EXPECT_FALSE(event.Wait(50));
    EXPECT_GE(timeGetTime() - before, 50u);
}

namespace {
struct Counted : RefCounted {
    explicit Counted(int* deaths) : deaths(deaths) {}
    ~Counted() override { ++*deaths; }
    int* deaths;
};
}  // namespace

TEST(RefPtrTest, LastReferenceDeletesTheObject) {
    int deaths = 0;
    {
        RefPtr<Counted> first = MakeRef<Counted>(&deaths);
        RefPtr<Counted> second = first;
        first.Reset();
        EXPECT_EQ(deaths, 0);
        EXPECT_EQ(second->AddRef(), 2u);
        EXPECT_EQ(second->Release(), 1u);
    }
    EXPECT_EQ(deaths, 1);
}

namespace {
// A factory in the runtime's style: one new reference through an out pointer.
void CreateCounted(int* deaths, Counted** out) {
    *out = new Counted(deaths);
}
}  // namespace

TEST(RefPtrTest, PutTakesOverTheReferenceAFactoryHandsOut) {
    int deaths = 0;
    {
        RefPtr<Counted> held;
        CreateCounted(&deaths, held.Put());
        ASSERT_TRUE(held);
        // Putting again lets go of the object held before the factory runs.
        Counted** slot = held.Put();
        EXPECT_EQ(deaths, 1);
        EXPECT_EQ(*slot, nullptr);
        EXPECT_FALSE(held);
        CreateCounted(&deaths, slot);
        EXPECT_EQ(held->AddRef(), 2u) << "exactly the factory's reference is held";
        EXPECT_EQ(held->Release(), 1u);
    }
    EXPECT_EQ(deaths, 2);
}
