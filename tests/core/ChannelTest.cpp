#include "core/Channel.h"
#include "core/Clock.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>

TEST(Channel, LogLinesCarryTimeAndTab) {
    CChannel channel;
    channel.Log("begin threads");
    channel.Log("");
    channel.Log(static_cast<const char*>(nullptr));
    auto line = channel.m_LogQueue.Pop();
    ASSERT_TRUE(line.has_value());
    EXPECT_TRUE(std::regex_match(*line, std::regex("[0-2][0-9]:[0-5][0-9]:[0-6][0-9]\tbegin threads")))
        << *line;
    auto empty = channel.m_LogQueue.Pop();
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(empty->size(), 9u);
    EXPECT_EQ(empty->back(), '\t');
    EXPECT_TRUE(channel.m_LogQueue.Pop().has_value());
    EXPECT_FALSE(channel.m_StatusQueue.Pop().has_value());
}

TEST(Channel, StatusQueueDropsTheLineBeyondCapacity) {
    CChannel channel;
    for (int i = 0; i < 8192; ++i)
        channel.PushStatus("line " + std::to_string(i));
    int count = 0;
    std::string last;
    while (auto line = channel.m_StatusQueue.Pop()) {
        last = *line;
        ++count;
    }
    EXPECT_EQ(count, 8191);
    EXPECT_EQ(last, "line 8190");
}

TEST(Channel, SleepReturnsEarlyOnlyWhenStopped) {
    CChannel channel;
    uint32_t start = TickMs();
    channel.SleepMs(0);
    channel.SleepMs(30);
    EXPECT_GE(ElapsedMs(start), 30u);

    // A stop requested mid-sleep ends a long sleep well before its time.
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        channel.RequestStop();
    });
    start = TickMs();
    channel.SleepMs(60000);
    stopper.join();
    EXPECT_LT(ElapsedMs(start), 30000u);
    EXPECT_TRUE(channel.StopRequested());
}
