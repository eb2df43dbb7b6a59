#include "UploadJob.h"

#include "core/Clock.h"
#include "image/ImageFile.h"
#include "serial/CommPort.h"
#include "upload/ReceiverCheck.h"

#include <algorithm>

namespace {

const char STAR_LINE[] = "**********************";

} // namespace

CUploadJob::CUploadJob(CChannel& channel, CImageFile& image, CReceiverCheck& check,
                       const std::string& programDir)
    : CLoaderProtocol(channel, nullptr, image, programDir), m_Check(check) {}

void CUploadJob::StartUpload() {
    m_Start.Set(1);
    m_Cancel.Set(0);
    m_Wake.Pulse();
}

void CUploadJob::CancelUpload() {
    m_Cancel.Set(1);
    m_Wake.Pulse();
    // A protocol wait blocked on the port's data arrival notices the cancel at once.
    if (CCommPort* port = GetPort())
        port->WakeWaiters();
}

void CUploadJob::UploadLoop() {
    while (!m_Channel.StopRequested()) {
        m_Wake.WaitFor(m_JobTiming.idleWaitMs);
        if (m_Start.Get() == 0)
            continue;

        m_Channel.Log(STAR_LINE);
        m_Channel.Log("*** FLASH Upload ****");
        m_Channel.Log(STAR_LINE);

        CCommPort* port = GetPort();
        if (port != nullptr)
            port->m_SavedBaud.store(port->GetBaudIndex());
        RunJob();
        m_Start.Set(0);
        // The loader link leaves the port at the first-stage loader's speed.
        if (port != nullptr) {
            const int saved = port->m_SavedBaud.load();
            if (port->GetBaudIndex() != saved)
                port->SetBaudIndex(saved);
        }

        m_PfldVersion.Set(std::string());
        m_Channel.Log(STAR_LINE);
    }
}

void CUploadJob::RaisePortOpened() {
    if (LockedInt* cell = m_PortOpened.load())
        cell->Set(1);
}

void CUploadJob::WaitForReceiver(uint32_t limitMs, bool budgetLimited) {
    const uint32_t start = TickMs();
    for (;;) {
        // The budget may change while we wait; it is read again at every look.
        // A negative budget means no wait, as in the loader-mode attempts.
        const uint64_t limit = budgetLimited ? static_cast<uint64_t>(std::max(0, m_ConnectBudget.load())) *
                                                   m_Timings.budgetUnitMs
                                             : limitMs;
        if (ElapsedMs(start) >= limit)
            return;
        if (m_Check.m_Identified.Get() == 1)
            return;
        if (IsAborted())
            return;
        RaisePortOpened();
        // CancelUpload and shutdown pulse this event, so the wait ends at once for them; a port that goes
        // away is seen within a wait slice.
        const uint32_t pause = TickMs();
        for (uint32_t waited = 0; waited < m_JobTiming.recheckPauseMs && !PortGone();
             waited = ElapsedMs(pause)) {
            if (m_Wake.WaitFor(std::min(m_JobTiming.recheckPauseMs - waited,
                                        std::max<uint32_t>(m_Timings.waitSliceMs, 1))))
                break;
        }
    }
}

void CUploadJob::TakeLine() {
    // A check notices at its next look (at most one read pause or closed-port sleep); the bound covers a
    // whole check should it not.
    const CReceiverCheck::Timing& t = m_Check.m_Timing;
    m_Check.HoldLine(t.checkLimitMs + t.sentenceLimitMs + t.closedPortSleepMs);
    m_LineTaken = true;
}

void CUploadJob::GiveLineBack() {
    if (m_LineTaken)
        m_Check.ReleaseLine();
    m_LineTaken = false;
}

bool CUploadJob::WaitCompletionMark() {
    CCommPort& port = Port();
    std::string received;
    uint8_t marks = 0;
    uint8_t last = 0;
    const uint32_t start = TickMs();
    while (ElapsedMs(start) < m_JobTiming.completionWaitMs && !IsAborted()) {
        uint8_t b = 0;
        if (port.ReadByte(b)) {
            last = b;
            if (b == COMPLETION_BYTE && ++marks == COMPLETION_COUNT)
                break;
            received += static_cast<char>(b);
        }
        PauseUnlessAborted(m_JobTiming.completionPollMs);
    }
    received += "\r\n";
    m_Channel.Log(received);
    // A receiver that sent fewer marks but nothing after its last one still counts as done; a wait cut short
    // by a cancel or a lost port does not.
    return marks == COMPLETION_COUNT || (last == COMPLETION_BYTE && !IsAborted());
}

void CUploadJob::RunJob() {
    CCommPort& port = Port();

    m_FlashWriting.Set(0);
    m_Phase.Set(0);
    m_Progress.Set(0);
    // The receiver is reached through the device open now; if it goes away, the job ends.
    UnwatchPort();
    if (port.IsOpen() != 0)
        WatchPort();

    ReceiverTexts checked;
    if (m_Check.m_Identified.Get() == 1) {
        checked = m_Check.Texts();
        // The upload command has just sent the upload sentence; the receiver restarts into its loader and
        // has to be identified afresh.
        m_Channel.Log("delay before upload");
        PauseUnlessAborted(m_JobTiming.delayBeforeUploadMs);
        RaisePortOpened();
        m_Check.m_Identified.Set(0);
        m_Channel.Log("Wait for receiver check");
        WaitForReceiver(0, true);
    }
    TakeLine();
    // No check runs any more, so the texts are those of the last one. A receiver that restarted into its
    // loader names neither model nor serial: the identification before the upload sentence then stands.
    if (m_Check.m_Identified.Get() == 1) {
        ReceiverTexts fresh = m_Check.Texts();
        if (!fresh.model.empty() && fresh.model != "PFLD")
            checked = std::move(fresh);
    }
    m_ReceiverChecked.Set(checked);

    const bool ok = !PortGone() && UploadTarget();
    if (PortGone())
        m_Channel.PushStatus(m_JobTexts.portGone);
    if (!ok) {
        m_Channel.PushStatus(m_JobTexts.failed);
        m_Channel.Log("ERROR: upload failed");
        m_Result.Set(0);
    }
    m_PfldVersion.Set(std::string());
    if (m_Cancel.Get() == 1) {
        m_Channel.PushStatus(m_JobTexts.canceled);
        m_Channel.Log("Upload cancel");
    }

    if (ok) {
        m_Channel.PushStatus(m_JobTexts.waitComplete);
        m_Channel.Log("wait for upload to complete");

        const bool marked = WaitCompletionMark();
        // The receiver restarts from here on; a device that leaves meanwhile is no longer the job's loss.
        const bool gone = PortGone();
        UnwatchPort();
        if (gone && !marked)
            m_Channel.PushStatus(m_JobTexts.portGone);
        if (marked) {
            m_Channel.PushStatus(m_JobTexts.complete);
            m_Channel.Log("upload complete");
            m_Result.Set(1);
            m_Progress.Set(1000);
            m_Channel.Log("delay after upload");
            m_Channel.Log("Wait for receiver check");

            // What the restarting receiver prints goes into the log as it came.
            std::string received;
            const uint32_t collect = TickMs();
            while (ElapsedMs(collect) < m_JobTiming.restartCollectMs && !IsAborted() && !port.HungUp()) {
                uint8_t b = 0;
                while (port.ReadByte(b))
                    received += static_cast<char>(b);
                PauseUnlessAborted(m_JobTiming.completionPollMs);
            }
            m_Channel.Log(received);

            GiveLineBack();
            RaisePortOpened();
            m_Check.m_Identified.Set(0);
            WaitForReceiver(m_JobTiming.restartIdentifyMs, false);
            m_Channel.Log("continue");
        } else {
            m_Channel.PushStatus(m_JobTexts.failed);
            m_Channel.Log("ERROR: upload failed");
            m_Result.Set(0);
        }
    }
    if (!ok)
        m_Result.Set(0);

    UnwatchPort();
    GiveLineBack();
    m_FlashWriting.Set(0);
    m_Image.Close();
}
