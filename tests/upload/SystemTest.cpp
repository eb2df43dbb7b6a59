// The shared objects built in one place: their starting values, the port pointer handed to every user, and a
// start and shutdown that never hang, whatever the workers are doing.

#include "UploadHarness.h"

#include <gtest/gtest.h>

using namespace upt;

TEST(System, ObjectsStartIdleAndShareOnePort) {
    CSystem system;
    CCommPort* port = system.m_PortWorker.m_Port;
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port, static_cast<CCommPort*>(&system.m_PortWorker.m_SerialPort));
    EXPECT_EQ(system.m_Check.Port(), port);
    EXPECT_EQ(system.m_Job.GetPort(), port);

    EXPECT_EQ(system.m_Channel.StopRequested(), false);
    EXPECT_EQ(system.m_ImagePath.Changed(), 0);
    EXPECT_EQ(system.m_ImagePath.Get(), "");
    EXPECT_EQ(system.m_Check.m_CheckRunning.Changed(), 0);
    EXPECT_EQ(system.m_Check.m_Identified.Get(), 0);
    EXPECT_EQ(system.m_Job.m_Start.Get(), 0);
    EXPECT_EQ(system.m_Job.m_Result.Get(), 0);
    EXPECT_EQ(system.m_Job.m_Cancel.Get(), 0);
    EXPECT_EQ(system.m_Job.m_ConnState.Changed(), 0);
    EXPECT_EQ(system.m_Job.m_ConnState.Get(), 2);
    EXPECT_EQ(system.m_Job.m_FileState.Get(), 2);
    EXPECT_EQ(system.m_Job.m_Phase.Get(), 0);
    EXPECT_EQ(system.m_Job.m_Progress.Get(), 0);
    EXPECT_EQ(system.m_PortWorker.m_PortOpened.Get(), 0);
    const ReceiverTexts texts = system.m_Check.Texts();
    EXPECT_TRUE(texts.model.empty() && texts.version.empty() && texts.options.empty() &&
                texts.serial.empty());
}

TEST(System, ShutdownWithoutStartAndTwice) {
    CSystem system;
    system.Shutdown();
    system.Shutdown();
    EXPECT_TRUE(system.m_Channel.StopRequested());
}

TEST(System, IdleWorkersStopPromptly) {
    CSystem system;
    system.StartWorkers();
    system.StartWorkers(); // a second start changes nothing
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const uint32_t start = TickMs();
    system.Shutdown();
    EXPECT_LT(ElapsedMs(start), 2000u);
}

TEST(System, JobWithoutPortFailsAndEnds) {
    CHarness h;
    h.Start(false);
    h.m_System.m_Job.StartUpload();
    ASSERT_TRUE(WaitUntil([&] { return h.LogCount("ERROR: no port available") == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return h.m_System.m_Job.m_Start.Get() == 0; }));
    EXPECT_EQ(h.m_System.m_Job.m_Result.Get(), 0);
    EXPECT_EQ(h.Statuses(), std::vector<std::string>{"ERROR: upload failed"});
    const auto logs = h.Logs();
    const std::vector<std::string> expected{"**********************", "*** FLASH Upload ****",
                                            "**********************", "ERROR: no port available",
                                            "ERROR: upload failed",   "**********************"};
    EXPECT_EQ(logs, expected);
}

TEST(System, ShutdownDuringACheckEndsItAtOnce) {
    CScriptedPeer peer([](const std::string&, int) { return std::string(); });
    ASSERT_TRUE(peer.Ok());
    auto h = std::make_unique<CHarness>();
    h->m_System.m_Check.m_Timing.checkLimitMs = 60000;
    h->Start(false);
    ASSERT_TRUE(h->OpenPort(peer.Path()));
    h->m_System.m_Check.RequestCheck();
    ASSERT_TRUE(WaitUntil([&] { return peer.Count("$PQELQ,RID\r\n") >= 1; }));
    const uint32_t start = TickMs();
    h.reset();
    EXPECT_LT(ElapsedMs(start), 3000u);
}

TEST(System, PortIsReleasedWhenTheSystemGoes) {
    // The port is open when the system goes; destroying it closes the port and lets the far end see it.
    CScriptedPeer peer([](const std::string&, int) { return std::string(); });
    ASSERT_TRUE(peer.Ok());
    {
        CHarness h;
        h.Start(false);
        ASSERT_TRUE(h.OpenPort(peer.Path()));
    }
    // A new system can take the same port at once: the old one let go of it.
    CHarness again;
    again.Start(false);
    EXPECT_TRUE(again.OpenPort(peer.Path()))
        << again.LogText() << again.m_System.m_PortWorker.m_SerialPort.PortLocked();
}
