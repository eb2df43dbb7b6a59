// The shared cells, rings, queues, events and the channel, as the threads use them.

#include "core/ByteRing.h"
#include "core/Channel.h"
#include "core/LockedValue.h"
#include "core/PulseEvent.h"
#include "core/TextQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <thread>
#include <vector>

TEST(LockedValue, EverySetMarksAChangeAndEveryReadClearsIt) {
    LockedShort cell(2);
    EXPECT_EQ(cell.Changed(), 0);
    cell.Set(2); // the same value still counts as a change
    EXPECT_EQ(cell.Changed(), 1);
    cell.Set(-5);
    EXPECT_EQ(static_cast<int>(cell.Get()), -5);
    EXPECT_EQ(cell.Changed(), 0);
}

TEST(ByteRing, KeepsTheNewestBytesWhenFull) {
    ByteRing ring;
    uint8_t out[32] = {0x42};
    EXPECT_FALSE(ring.Put(1)); // no buffer yet
    EXPECT_FALSE(ring.Get(out[0]));
    ring.Size(16);
    std::vector<uint8_t> data(40000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(ring.Put(data[i]), i < 15); // the 16th pushes the oldest out
    ASSERT_EQ(ring.GetMany(out, sizeof out), 15u);
    EXPECT_TRUE(std::equal(out, out + 15, data.begin() + 1));
    EXPECT_FALSE(ring.Get(out[0]));
    EXPECT_EQ(out[0], data[1]);
    // PutMany takes a 16-bit count: 40000 bytes keep the newest 15, 65537 bytes are one byte.
    EXPECT_TRUE(ring.PutMany(data.data(), 40000));
    ASSERT_EQ(ring.GetMany(out, sizeof out), 15u);
    EXPECT_TRUE(std::equal(out, out + 15, data.end() - 15));
    ring.PutMany(std::vector<uint8_t>(65537, 9).data(), 65537);
    EXPECT_EQ(ring.GetMany(out, sizeof out), 1u);
}

TEST(TextQueue, ManyProducersKeepTheirOrderAndAFullQueueDropsTheNewest) {
    TextQueue queue;
    queue.Push("lost"); // never initialised
    ASSERT_TRUE(queue.Init(8192));
    std::vector<std::thread> producers;
    for (int t = 0; t < 4; ++t)
        producers.emplace_back([&queue, t] {
            for (int i = 0; i < 2500; ++i)
                queue.Push(std::to_string(t) + ":" + std::to_string(i));
        });
    for (auto& p : producers)
        p.join();
    int next[4] = {0, 0, 0, 0};
    int total = 0;
    while (auto line = queue.Pop()) {
        const int t = (*line)[0] - '0';
        ASSERT_EQ(line->substr(2), std::to_string(next[t]++));
        ++total;
    }
    EXPECT_EQ(total, 8191);
}

TEST(PulseEvent, PulseReleasesOnlyCurrentWaitersAndSetLatchesOnce) {
    CPulseEvent event;
    event.Pulse(); // nobody waits: lost
    EXPECT_FALSE(event.WaitFor(20));
    std::atomic<bool> released{false};
    std::thread waiter([&] { released = event.WaitFor(60000); });
    // Pulse until the waiter has gone through; it may not have reached its wait at the first pulse.
    for (int i = 0; i < 6000 && !released; ++i) {
        event.Pulse();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    waiter.join();
    EXPECT_TRUE(released);
    event.Set();
    EXPECT_TRUE(event.WaitFor(0));
    EXPECT_FALSE(event.WaitFor(10));
}

TEST(Channel, LogLinesCarryTimeAndTabAndAStopEndsASleep) {
    CChannel channel;
    channel.Log("begin threads");
    EXPECT_TRUE(std::regex_match(channel.m_LogQueue.Pop().value_or(""),
                                 std::regex("[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\tbegin threads")));
    std::thread stopper([&] { channel.RequestStop(); });
    channel.SleepMs(600000); // ends with the stop; without it the run limit fails the test
    stopper.join();
    EXPECT_TRUE(channel.StopRequested());
}
