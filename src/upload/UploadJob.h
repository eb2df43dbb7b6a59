#pragma once
// The upload job and its worker. The dialog calls StartUpload (or CancelUpload); the worker thread, running
// UploadLoop, wakes, waits for a fresh receiver identification, runs the whole target upload, waits for the
// receiver's completion mark, publishes the result, lets the receiver restart and puts the port's speed back.

#include "core/Channel.h"
#include "core/LockedValue.h"
#include "core/PulseEvent.h"
#include "loader/LoaderProtocol.h"
#include "upload/ReceiverCheck.h"

#include <atomic>
#include <cstdint>
#include <string>

class CImageFile;

// Status texts of the job (entries of the program's string table; a translation may replace them before the
// worker starts).
struct UploadTexts {
    std::string failed = "ERROR: upload failed";               // 146
    std::string canceled = "Upload canceled";                  // 136
    std::string waitComplete = "Wait for upload to complete."; // 171
    std::string complete = "Upload complete";                  // 147
    std::string portGone = "the receiver's port went away";
};

class CUploadJob : public CLoaderProtocol {
public:
    // The completion mark is the third of these bytes after programming.
    static constexpr uint8_t COMPLETION_BYTE = 0x55;
    static constexpr uint8_t COMPLETION_COUNT = 3;

    // Limits of the worker. Set them before the worker starts; tests shorten them. The receiver wait before
    // the upload lasts m_ConnectBudget units of m_Timings.budgetUnitMs.
    struct JobTiming {
        uint32_t idleWaitMs = 300;           // worker's wait on its wake event
        uint32_t delayBeforeUploadMs = 1000; // after the upload sentence, before asking for a new check
        uint32_t recheckPauseMs = 1000;      // between two check requests while waiting for the receiver
        uint32_t completionWaitMs = 60000;   // for the completion mark
        uint32_t completionPollMs = 100;     // one byte is taken per pause; a stop, cancel or hang-up cuts it
        uint32_t restartCollectMs = 5000;    // collecting what the restarting receiver prints
        uint32_t restartIdentifyMs = 5000;   // waiting for the restarted receiver to identify itself
    };

    // programDir: folder of the first-stage loader file; empty means the running program's folder.
    CUploadJob(CChannel& channel, CImageFile& image, CReceiverCheck& check,
               const std::string& programDir = {});

    // The port worker's "port opened" cell, raised to ask the dialog for a receiver check. Set before the
    // worker starts.
    void SetPortOpenedCell(LockedInt* cell) { m_PortOpened.store(cell); }

    // Dialog thread: request a job / cancel the running one. A cancel also releases any protocol wait that
    // is blocked on the port.
    void StartUpload();
    void CancelUpload();
    // Worker thread body; returns once a stop has been requested.
    void UploadLoop();

    CPulseEvent m_Wake;
    // The receiver this job uploads to, as identified right before the upload began: the job's own check
    // after the upload sentence when it found the firmware, else the identification that stood when the job
    // started. Empty while unknown. Set before the target upload; verification holds the restarted receiver
    // to it.
    LockedValue<ReceiverTexts> m_ReceiverChecked;
    LockedInt m_Result{0};
    LockedInt m_Start{0};
    LockedShort m_ConnState{2};
    LockedShort m_FileState{2};
    JobTiming m_JobTiming;
    UploadTexts m_JobTexts;

    // One step of a job, open for tests: takes one byte per poll until the third completion byte or the
    // limit, logs what came before it, and tells whether the last byte taken was a completion byte.
    bool WaitCompletionMark();

private:
    void RunJob();
    // Asks for a fresh receiver check and waits, in pauses that a cancel or a stop cut short, until the
    // receiver has identified itself, limitMs have passed or the job is aborted.
    void WaitForReceiver(uint32_t limitMs, bool budgetLimited);
    void RaisePortOpened();
    // The job alone uses the line from the end of the receiver wait until the restarted receiver is asked
    // to identify itself: no check starts, a running one is stopped and awaited first.
    void TakeLine();
    void GiveLineBack();
    // A pause that only a stop cuts short.
    void Pause(uint32_t ms) { m_Channel.SleepMs(ms); }

    CReceiverCheck& m_Check;
    std::atomic<LockedInt*> m_PortOpened{nullptr};
    bool m_LineTaken = false;
};
