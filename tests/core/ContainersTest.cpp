#include "core/ByteRing.h"
#include "core/LockedValue.h"
#include "core/PulseEvent.h"
#include "core/TextQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

TEST(LockedValue, NewCellReportsNoChangeAndEverySetMarks) {
    LockedShort cell(2);
    EXPECT_EQ(cell.Changed(), 0);
    EXPECT_EQ(cell.Get(), 2);
    cell.Set(2); // the same value still counts as a change
    EXPECT_EQ(cell.Changed(), 1);
    EXPECT_EQ(cell.Get(), 2);
    EXPECT_EQ(cell.Changed(), 0);
    cell.Set(-5);
    EXPECT_EQ(static_cast<int>(cell.Get()), -5); // widened with its sign

    LockedString text("");
    text.Set("PFLD");
    std::string copy = text.Get();
    copy += "x";
    EXPECT_EQ(text.Get(), "PFLD");
}

TEST(ByteRing, FullRingKeepsTheNewestBytes) {
    ByteRing ring;
    uint8_t b = 0x42;
    EXPECT_FALSE(ring.Get(b)); // never sized
    EXPECT_FALSE(ring.Put(1));
    EXPECT_EQ(b, 0x42);

    ring.Size(32762);
    bool last = true;
    for (int i = 0; i < 32762; ++i)
        last = ring.Put(static_cast<uint8_t>(i));
    EXPECT_FALSE(last);
    EXPECT_EQ(ring.Count(), 32761u);
    for (int i = 1; i < 32762; ++i) {
        ASSERT_TRUE(ring.Get(b));
        ASSERT_EQ(b, static_cast<uint8_t>(i));
    }
    b = 0x42;
    EXPECT_FALSE(ring.Get(b));
    EXPECT_EQ(b, 0x42);
    EXPECT_TRUE(ring.IsEmpty());
}

TEST(ByteRing, PutManyTakesSixteenBitCountAndDropsOldest) {
    ByteRing ring;
    uint8_t b = 0;
    EXPECT_FALSE(ring.PutMany(&b, 1)); // no buffer
    ring.Size(16);
    EXPECT_TRUE(ring.PutMany(nullptr, 0));
    EXPECT_TRUE(ring.IsEmpty());

    std::vector<uint8_t> data(40000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);
    EXPECT_TRUE(ring.PutMany(data.data(), 40000));
    EXPECT_EQ(ring.Count(), 15u);
    uint8_t out[32];
    ASSERT_EQ(ring.GetMany(out, sizeof out), 15u);
    for (int i = 0; i < 15; ++i)
        EXPECT_EQ(out[i], data[40000 - 15 + i]);

    // 65537 taken as a 16-bit count stores one byte only.
    std::vector<uint8_t> big(65537, 9);
    ring.PutMany(big.data(), 65537);
    EXPECT_EQ(ring.Count(), 1u);
    ring.Clear();
    EXPECT_TRUE(ring.IsEmpty());
}

TEST(TextQueue, KeepsOrderAndDropsTheNewestWhenFull) {
    TextQueue queue;
    EXPECT_FALSE(queue.Pop().has_value()); // never initialised
    queue.Push("lost");
    ASSERT_TRUE(queue.Init(8192));
    for (int i = 0; i < 8192; ++i)
        queue.Push(std::to_string(i));
    for (int i = 0; i < 8191; ++i) {
        auto line = queue.Pop();
        ASSERT_TRUE(line.has_value());
        ASSERT_EQ(*line, std::to_string(i));
    }
    EXPECT_FALSE(queue.Pop().has_value());

    queue.Push("a");
    queue.Push("b");
    queue.Clear();
    EXPECT_FALSE(queue.Pop().has_value());
    queue.Push("c"); // slots survive Clear
    EXPECT_EQ(queue.Pop().value_or(""), "c");
}

TEST(TextQueue, ManyProducersLoseNothingBelowCapacity) {
    TextQueue queue;
    queue.Init(8192);
    std::vector<std::thread> producers;
    for (int t = 0; t < 4; ++t)
        producers.emplace_back([&queue, t] {
            for (int i = 0; i < 1000; ++i)
                queue.Push(std::to_string(t) + ":" + std::to_string(i));
        });
    for (auto& p : producers)
        p.join();
    int next[4] = {0, 0, 0, 0};
    int total = 0;
    while (auto line = queue.Pop()) {
        const int t = (*line)[0] - '0';
        ASSERT_EQ(line->substr(2), std::to_string(next[t])); // per-thread order holds
        ++next[t];
        ++total;
    }
    EXPECT_EQ(total, 4000);
}

TEST(PulseEvent, PulseReleasesOnlyCurrentWaiters) {
    CPulseEvent event;
    event.Pulse(); // nobody waits: lost
    EXPECT_FALSE(event.WaitFor(20));

    std::atomic<bool> waiting{false};
    std::atomic<bool> released{false};
    std::thread waiter([&] {
        waiting = true;
        released = event.WaitFor(20000);
    });
    while (!waiting)
        std::this_thread::yield();
    // Pulse until the waiter has gone through; it may not have reached its wait at the first pulse.
    for (int i = 0; i < 2000 && !released; ++i) {
        event.Pulse();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    waiter.join();
    EXPECT_TRUE(released);
}

TEST(PulseEvent, LatchedSetIsConsumedOnce) {
    CPulseEvent event;
    event.Set();
    EXPECT_TRUE(event.WaitFor(0));
    EXPECT_FALSE(event.WaitFor(10));
    event.Set();
    event.Reset();
    EXPECT_FALSE(event.WaitFor(10));
}
