#include "StationSlot.h"

#include "core/Clock.h"
#include "core/Platform.h"
#include "image/LoadImage.h"
#include "line/PortWatch.h"
#include "upload/UploadCheck.h"

#include <algorithm>
#include <ctime>

namespace {

using Clock = std::chrono::system_clock;

constexpr uint32_t LOOK_MS = 100;
constexpr uint32_t TX_DONE_LIMIT_MS = 2000;
// A cancelled job ends at its next abort test; the completion wait only ends on its own limit.
constexpr uint32_t CANCEL_GRACE_MS = 90000;
constexpr size_t PENDING_LINES = 2000;
// Failed looks in a row after which the receiver counts as unplugged.
constexpr int GONE_AFTER_MISSES = 2;

// Who a receiver is, as far as its answers tell.
std::string UnitKey(const ReceiverTexts& t) {
    return t.model + "|" + (t.serial.empty() ? t.version : t.serial);
}

std::string UnitText(const ReceiverTexts& t) {
    std::string text = t.model;
    if (!t.serial.empty())
        text += " " + t.serial;
    if (!t.version.empty())
        text += " (" + t.version + ")";
    return text;
}

bool IsFailureLine(const std::string& line) {
    for (const char* mark : {"ERROR", "failure", "time out", "TIMEOUT", "not connected", "exceed"})
        if (line.find(mark) != std::string::npos)
            return true;
    return false;
}

std::string LogFileName(const std::string& dir, const std::string& port, const std::string& serial) {
    std::time_t now = std::time(nullptr);
    std::tm utc{};
    UtcTimeOf(now, utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    // The port's last name part: "ttyUSB0" of /dev/ttyUSB0, "COM12" of \\.\COM12.
    std::string name =
        port.substr(port.find_last_of("/\\") + 1) + "_" + (serial.empty() ? "unknown" : serial);
    for (char& c : name)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.'))
            c = '_';
    return dir + "/" + stamp + "_" + name + ".log";
}

} // namespace

CStationSlot::CStationSlot(const std::string& port, int portIndex, const StationConfig& config,
                           StationSink sink)
    : m_PortPath(port), m_PortIndex(portIndex), m_Config(config), m_Sink(std::move(sink)),
      m_System(std::make_unique<CSystem>()) {
    m_View.port = port;
    m_View.phase = "starting";
    CUploadJob& job = m_System->m_Job;
    job.m_JobTiming.completionWaitMs = m_Config.completionLimitMs;
    job.m_JobTiming.restartCollectMs = m_Config.restartCollectMs;
    job.m_SkipBlank.store(m_Config.skipBlank);
}

CStationSlot::~CStationSlot() {
    RequestStop();
    Join();
}

void CStationSlot::Start() {
    m_Thread = std::thread([this] {
        Run();
        m_Done.store(true);
    });
}

void CStationSlot::RequestStop() {
    {
        std::lock_guard<std::mutex> lock(m_WaitLock);
        m_Stop.store(true);
    }
    m_WaitCond.notify_all();
}

void CStationSlot::Join() {
    if (m_Thread.joinable())
        m_Thread.join();
}

SlotView CStationSlot::View() {
    std::lock_guard<std::mutex> lock(m_ViewLock);
    return m_View;
}

void CStationSlot::SetView(const std::string& phase, int perMille, double rate, double left) {
    std::lock_guard<std::mutex> lock(m_ViewLock);
    m_View.phase = phase;
    m_View.perMille = perMille;
    m_View.rate = rate;
    m_View.left = left;
}

void CStationSlot::Say(const std::string& text) {
    if (m_Sink.event)
        m_Sink.event(m_PortPath + ": " + text);
}

bool CStationSlot::Pause(uint32_t ms) {
    std::unique_lock<std::mutex> lock(m_WaitLock);
    m_WaitCond.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_Stop.load(); });
    return !m_Stop.load();
}

void CStationSlot::Drain() {
    CChannel& channel = m_System->m_Channel;
    while (std::optional<std::string> line = channel.m_LogQueue.Pop()) {
        // The first failure line names the cause; the ones after it follow from it. A run without a log
        // folder needs it as much.
        if (m_FirstError.empty() && IsFailureLine(*line)) {
            size_t tab = line->find('\t');
            m_FirstError = tab == std::string::npos ? *line : line->substr(tab + 1);
        }
        if (m_Log) {
            std::fprintf(m_Log, "%s\n", line->c_str());
        } else if (m_Pending.size() < PENDING_LINES) {
            m_Pending.push_back(std::move(*line));
        }
    }
    // The phase and the unit's end tell the operator what the status lines would.
    while (channel.m_StatusQueue.Pop()) {
    }
}

bool CStationSlot::WaitPortOpen(uint32_t limitMs) {
    const uint32_t start = TickMs();
    CCommPort* port = m_System->m_PortWorker.m_Port;
    while (port->IsOpen() != 1) {
        Drain();
        if (ElapsedMs(start) >= limitMs || !Pause(LOOK_MS))
            return false;
    }
    return true;
}

bool CStationSlot::Identify(ReceiverTexts& texts) {
    CReceiverCheck& check = m_System->m_Check;
    Drain();
    m_Pending.clear();
    // A port that has just opened raised its cell; this check answers it.
    m_System->m_PortWorker.m_PortOpened.Get();
    check.RequestCheck();
    const CReceiverCheck::Timing& t = check.m_Timing;
    const uint32_t limit =
        t.checkLimitMs + std::max(t.sentenceLimitMs, t.closedPortSleepMs) + t.idleWaitMs + 1000;
    const uint32_t start = TickMs();
    do {
        if (!Pause(LOOK_MS))
            return false;
        Drain();
    } while (check.m_CheckRunning.Get() == 1 && ElapsedMs(start) < limit);
    if (check.m_Identified.Get() != 1 || check.m_CheckRunning.Get() != 0)
        return false;
    texts = check.Texts();
    return true;
}

void CStationSlot::Run() {
    m_Adapter = AdapterSerial(m_PortPath);
    // Watching, units come and go on the port, each maybe with its own adapter: any device is taken.
    m_System->m_PortWorker.m_KeepDevice.store(!m_Config.watch);
    m_System->m_PortWorker.RequestPort(m_PortIndex);
    m_System->StartWorkers();
    if (m_Config.watch) {
        RunWatch();
    } else {
        UnitRecord record;
        const Clock::time_point began = Clock::now();
        SetView("opening");
        if (!WaitPortOpen(m_Config.openLimitMs)) {
            record.port = m_PortPath;
            record.adapterSerial = m_Adapter;
            record.image = m_Config.image;
            record.imageSha256 = m_Config.imageSha256;
            record.startTime = began;
            record.exitCode = Stopping() ? 1 : 4;
            record.reason = Stopping() ? "interrupted"
                            : m_System->m_PortWorker.m_SerialPort.PortLocked() == 1
                                ? "the port is held by another program"
                                : "the port could not be opened";
            Finish(record);
        } else {
            SetView("checking");
            ReceiverTexts texts;
            const uint32_t tick = TickMs();
            if (Identify(texts)) {
                record = RunUnit(texts, ElapsedMs(tick));
                record.startTime = began;
            } else {
                record.port = m_PortPath;
                record.adapterSerial = m_Adapter;
                record.image = m_Config.image;
                record.imageSha256 = m_Config.imageSha256;
                record.startTime = began;
                record.checkMs = ElapsedMs(tick);
                record.exitCode = Stopping() ? 1 : 4;
                record.reason = Stopping() ? "interrupted" : "no receiver answered";
            }
            Finish(record);
        }
    }
    m_System->Shutdown();
    Drain();
}

void CStationSlot::RunWatch() {
    bool held = false;
    bool announced = false;
    std::string heldKey;
    int misses = 0;
    CCommPort* port = m_System->m_PortWorker.m_Port;
    while (!Stopping()) {
        SetView(held ? "done" : "waiting");
        ReceiverTexts texts;
        const Clock::time_point began = Clock::now();
        const uint32_t tick = TickMs();
        if (port->IsOpen() != 1 || !Identify(texts)) {
            if (++misses >= GONE_AFTER_MISSES && held) {
                held = false;
                Say("unit removed");
            }
            Drain();
            Pause(m_Config.idleCheckMs);
            continue;
        }
        misses = 0;
        const std::string key = UnitKey(texts);
        if (held && heldKey.empty())
            heldKey = key;
        if (held && key == heldKey) {
            if (!announced)
                Say("unit " + UnitText(texts) + " still connected, not flashed again");
            announced = true;
            Pause(m_Config.idleCheckMs);
            continue;
        }
        if (Stopping())
            break;
        UnitRecord record = RunUnit(texts, ElapsedMs(tick));
        record.startTime = began;
        Finish(record);
        // Whatever answers now is the unit just done (or what became of it) until it goes away.
        held = true;
        announced = false;
        heldKey = record.verified.value_or(false) ? UnitKey(m_System->m_Check.Texts()) : std::string();
    }
}

UnitRecord CStationSlot::RunUnit(const ReceiverTexts& before, uint32_t checkMs) {
    CSystem& s = *m_System;
    CUploadJob& job = s.m_Job;
    UnitRecord r;
    r.port = m_PortPath;
    r.adapterSerial = m_Adapter;
    r.model = before.model;
    r.serial = before.serial;
    r.options = before.options;
    r.versionBefore = before.version;
    r.image = m_Config.image;
    r.imageSha256 = m_Config.imageSha256;
    r.checkMs = checkMs;
    m_FirstError.clear();
    {
        std::lock_guard<std::mutex> lock(m_ViewLock);
        m_View.unit = UnitText(before);
    }
    Say("receiver " + UnitText(before));

    if (!m_Config.logDir.empty()) {
        r.logFile = LogFileName(m_Config.logDir, m_PortPath, before.serial);
        m_Log = std::fopen(r.logFile.c_str(), "w");
        if (!m_Log) {
            Say("cannot write the log file " + r.logFile);
            r.logFile.clear();
        }
    }
    if (m_Log)
        for (const std::string& line : m_Pending)
            std::fprintf(m_Log, "%s\n", line.c_str());
    m_Pending.clear();

    // Each job closes the image's stream at its end; every unit loads it afresh.
    if (!LoadImage(s.m_Image, m_Config.image, s.m_Channel)) {
        r.exitCode = 3;
        r.reason = "the image file could not be loaded";
        return r;
    }
    const double sectionBytes = s.m_Image.Section(0).size;

    SetView("loading", 0);
    CCommPort* port = s.m_PortWorker.m_Port;
    port->Purge();
    port->SendString("$PQELS,PFL,UPL\r\n");
    const uint32_t sent = TickMs();
    while (!port->IsTxDone() && port->IsOpen() == 1 && ElapsedMs(sent) < TX_DONE_LIMIT_MS)
        Pause(5);
    job.m_ConnectBudget = 5;
    job.m_Result.Set(0);
    job.m_Progress.Set(0);
    job.StartUpload();

    uint32_t last = TickMs();
    uint32_t cancelledAt = 0;
    bool cancelled = false;
    bool resulted = false;
    int stage = -1;
    uint32_t stageTick = last;
    int stagePerMille = 0;
    int lastQuarter = -1;
    for (;;) {
        if (Stopping() && !cancelled) {
            job.CancelUpload();
            cancelled = true;
            cancelledAt = TickMs();
        }
        ServiceCheckRequests(s);
        Drain();
        const int phase = job.m_Phase.Get();
        const int progress = job.m_Progress.Get();
        const uint32_t now = TickMs();
        const uint32_t spent = now - last;
        last = now;
        if (resulted)
            r.restartMs += spent;
        else if (phase == 2)
            r.eraseMs += spent;
        else if (phase == 3)
            r.programMs += spent;
        else
            r.loaderMs += spent;
        if (!resulted && job.m_Result.Get() == 1) {
            resulted = true;
            SetView("restarting");
        }
        if (job.m_Start.Get() == 0)
            break;
        if (cancelled && ElapsedMs(cancelledAt) >= CANCEL_GRACE_MS)
            break;
        if (!resulted) {
            const int shown = phase < 2 ? 1 : phase;
            if (shown != stage || progress < stagePerMille) {
                stage = shown;
                stageTick = now;
                stagePerMille = progress;
                lastQuarter = -1;
            }
            double rate = -1, left = -1;
            const double elapsed = (now - stageTick) / 1000.0;
            const int done = progress - stagePerMille;
            if (done > 0 && elapsed > 0) {
                if (stage == 3)
                    rate = sectionBytes * (done / 1000.0) / elapsed;
                left = elapsed * (1000 - progress) / done;
            }
            const char* name = stage == 2 ? "erasing" : stage == 3 ? "programming" : "loading";
            SetView(name, progress, rate, left);
            if (m_Config.progressLines && stage >= 2 && progress / 250 != lastQuarter) {
                lastQuarter = progress / 250;
                Say(std::string(name) + " " + std::to_string(progress / 10) + "%");
            }
        }
        Pause(LOOK_MS);
    }
    Drain();
    r.bytesWritten = job.m_BytesSent.load();
    r.bytesSkipped = job.m_BytesSkipped.load();

    if (job.m_Start.Get() != 0 || job.m_Result.Get() != 1) {
        r.exitCode = cancelled ? 1 : 5;
        r.reason = cancelled ? "interrupted" : m_FirstError.empty() ? "upload incomplete" : m_FirstError;
        return r;
    }

    SetView("verifying");
    const uint32_t verifyStart = TickMs();
    const bool identified = AwaitIdentification(s, m_Config.verifyLimitMs, [this] { return Stopping(); });
    r.restartMs += ElapsedMs(verifyStart);
    Drain();
    const ReceiverTexts after = s.m_Check.Texts();
    if (identified)
        r.versionAfter = after.version;
    const VerifyOutcome v = VerifyReceiver(ExpectationOf(s.m_Image), before, identified, after);
    r.verified = v.verified;
    if (!v.verified) {
        r.exitCode = Stopping() ? 1 : 5;
        r.reason = Stopping() ? "interrupted before the verification" : v.reason;
    }
    return r;
}

void CStationSlot::Finish(UnitRecord& r) {
    r.endTime = Clock::now();
    r.result =
        r.exitCode == 5 && r.verified.has_value() && !*r.verified ? "not verified" : ResultText(r.exitCode);
    Drain();
    if (m_Log) {
        std::fclose(m_Log);
        m_Log = nullptr;
    }
    SetView(r.result);
    if (m_Sink.record)
        m_Sink.record(r);
    if (r.exitCode == 0) {
        UploadSummary summary;
        summary.before = {r.model, r.versionBefore, r.options, r.serial};
        summary.after.version = r.versionAfter;
        summary.afterKnown = true;
        summary.bytes = r.bytesWritten + r.bytesSkipped;
        summary.seconds = std::chrono::duration<double>(r.endTime - r.startTime).count();
        Say("passed, " + SummaryLine(summary));
    } else {
        Say(r.result + " (exit code " + std::to_string(r.exitCode) + "): " + r.reason);
    }
}
