#pragma once
// One port of the station: its own system (channel, image, receiver check, upload job, port worker) and a
// thread that runs units on it. In a batch the slot runs one unit; in watch mode it waits for receivers
// and flashes each one that is plugged in, one after another, until it is stopped.

#include "image/ImageSnapshot.h"
#include "line/StationDisplay.h"
#include "line/UnitRecord.h"
#include "upload/ReceiverCheck.h"
#include "upload/System.h"
#include "upload/UploadCheck.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct StationConfig {
    RunInfo run;
    std::string image;                             // the path as given
    std::shared_ptr<const ImageSnapshot> snapshot; // the image's bytes, read once at start
    ImageExpectation expected;
    std::string logDir;           // empty: no log files
    uint32_t retries = 0;         // watch: a failed unit is flashed again this many times while connected
    bool allowSameSerial = false; // an Options image may go to more than one unit
    bool skipBlank = false;
    bool watch = false;
    bool progressLines = false;         // plain output: a line at every quarter of erase and programming
    uint32_t openLimitMs = 5000;        // batch: for the port to open
    uint32_t completionLimitMs = 60000; // for the receiver's completion mark
    uint32_t verifyLimitMs = 20000;     // for the restarted receiver to identify itself
    uint32_t restartCollectMs = 1000;   // what the restarting receiver prints is collected this long
    uint32_t idleCheckMs = 500;         // watch: pause between two looks for a receiver
    uint32_t watchCheckLimitMs = 1500;  // watch: one look; a receiver answers well within it
};

// Where a slot reports: a unit that has ended, and lines for the operator.
struct StationSink {
    std::function<void(const UnitRecord&)> record;
    std::function<void(const std::string&)> event;
    // Asked before a unit is flashed; false (with the reason) when no new unit may start.
    std::function<bool(std::string&)> claimUnit;
    // A record or log that could not be written.
    std::function<void(const std::string&)> writeError;
};

class CStationSlot {
public:
    // portIndex: the path's slot in the port table (filled by the caller's thread, the table's only writer).
    CStationSlot(const std::string& port, int portIndex, const StationConfig& config, StationSink sink);
    ~CStationSlot();
    CStationSlot(const CStationSlot&) = delete;
    CStationSlot& operator=(const CStationSlot&) = delete;

    void Start();
    // Ends the slot soon: a running upload is cancelled; returns at once.
    void RequestStop();
    // Watch: ends the slot once its running unit has its record.
    void RequestFinish() { m_Finish.store(true); }
    // Waits for the thread (after RequestStop, or after a batch unit has ended).
    void Join();
    bool Done() const { return m_Done.load(); }
    const std::string& Port() const { return m_PortPath; }
    SlotView View();

private:
    void Run();
    void RunWatch();
    // Identification (the check's texts in texts); true when a receiver answered.
    bool Identify(ReceiverTexts& texts);
    // One upload with verification, from an identified receiver.
    UnitRecord RunUnit(const ReceiverTexts& before, uint32_t checkMs);
    UnitRecord NewRecord() const;
    void Finish(UnitRecord& record);
    // A fresh system after a disconnect: every wait of the old one ends at once.
    void RenewSystem();
    void ConfigureSystem();
    // The port went away since the last look (closed, or closed and opened again).
    bool PortLost();
    // Does the receiver answering now hold what the image holds?
    bool HoldsImage(const ReceiverTexts& texts) const;
    void OpenLog(UnitRecord& record, const ReceiverTexts& before);
    void LogOwn(const std::string& text);
    bool WaitPortOpen(uint32_t limitMs);
    // Pause that a stop ends early; false when stopping.
    bool Pause(uint32_t ms);
    bool Stopping() const { return m_Stop.load(); }
    // Moves the channel's log lines to the unit's log file (or drops them between units) and its status
    // lines to the operator in plain mode.
    void Drain();
    void SetView(const std::string& phase, int perMille = -1, double rate = -1, double left = -1);
    void Say(const std::string& text);

    std::string m_PortPath;
    int m_PortIndex;
    StationConfig m_Config;
    StationSink m_Sink;
    std::unique_ptr<CSystem> m_System;

    std::thread m_Thread;
    std::atomic<bool> m_Stop{false};
    std::atomic<bool> m_Done{false};
    std::atomic<bool> m_Finish{false};
    std::mutex m_WaitLock;
    std::condition_variable m_WaitCond;

    std::mutex m_ViewLock;
    SlotView m_View;

    // Slot thread only.
    CUnitLog m_Log;
    bool m_PortClosedSeen = false;
    bool m_InUnit = false;              // from the unit's identification to its record
    std::vector<std::string> m_Pending; // log lines since the last idle look, for the next unit's file
    std::string m_FirstError;           // first failure line of the running unit's log
    std::string m_Adapter;
    std::string m_PortPhysical;
};
