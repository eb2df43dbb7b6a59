#pragma once
// What both dialog suites stand on: a real system object with limits short enough for each test to take
// seconds, settings in a folder of the test, a simulated receiver in the port table and union image files.

#include "SimSession.h"
#include "TestImages.h"
#include "dialog/SystemAccess.h"
#include "upload/System.h"

#include <gtest/gtest.h>
#include <memory>

class CDialogSystem : public ::testing::Test {
protected:
    void SetUp() override {
        m_System = std::make_unique<CSystem>();
        m_System->m_Check.m_Timing.checkLimitMs = 1500;
        m_System->m_Check.m_Timing.sentenceLimitMs = 300;
        m_System->m_Check.m_Timing.closedPortSleepMs = 100;
        m_System->m_PortWorker.m_PassWaitMs = 20;
        m_System->m_PortWorker.m_RetryWaitMs = 20;
    }
    // After the owner has shut the system down and dropped its dialog.
    void TearDown() override {
        m_Sim.reset();
        m_System.reset();
    }

    // A simulated receiver appended to the port table; its slot.
    int AddSim(SimOptions options) {
        options.raw = true;
        m_Sim = std::make_unique<CSimSession>(options);
        std::string error;
        EXPECT_TRUE(m_Sim->Start(error, false)) << error;
        EXPECT_TRUE(AddPortName(m_Sim->Path().c_str()));
        return g_PortCount;
    }
    std::string WriteUnion(const std::string& name, const std::string& version = "A123") {
        UnionParams params;
        params.fwVersion = version;
        return m_Dir.Write(name, Built(BuildUnionImage, params));
    }
    CUploadJob& Job() { return m_System->m_Job; }
    CReceiverCheck& Check() { return m_System->m_Check; }

    CTestDir m_Dir;
    std::unique_ptr<CSystem> m_System;
    std::unique_ptr<CSimSession> m_Sim;
};
