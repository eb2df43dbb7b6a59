#include "StationSlot.h"

#include "core/Clock.h"
#include "core/Platform.h"
#include "image/LoadImage.h"
#include "line/PortWatch.h"

#include <algorithm>
#include <ctime>

namespace {

using Clock = std::chrono::system_clock;

constexpr uint32_t LOOK_MS = 100;
constexpr uint32_t TX_DONE_LIMIT_MS = 2000;
// A cancelled job (a stop or a lost port) is given this long before its system is dropped.
constexpr uint32_t CANCEL_GRACE_MS = 1500;
constexpr size_t PENDING_LINES = 2000;

// Who a receiver is, as far as its answers tell.
std::string UnitKey(const ReceiverTexts& t) {
    return t.model + "|" + t.serial;
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

// "hh:mm:ss\ttext" as the channel writes its log lines.
std::string TimedLine(const std::string& text) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    LocalTimeOf(now, local);
    char stamp[16];
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
    return std::string(stamp) + "\t" + text;
}

} // namespace

CStationSlot::CStationSlot(const std::string& port, int portIndex, const StationConfig& config,
                           StationSink sink)
    : m_PortPath(port), m_PortIndex(portIndex), m_Config(config), m_Sink(std::move(sink)),
      m_System(std::make_unique<CSystem>()) {
    m_View.port = port;
    m_View.phase = "starting";
    ConfigureSystem();
}

CStationSlot::~CStationSlot() {
    RequestStop();
    Join();
}

void CStationSlot::ConfigureSystem() {
    CUploadJob& job = m_System->m_Job;
    job.m_JobTiming.completionWaitMs = m_Config.completionLimitMs;
    job.m_JobTiming.restartCollectMs = m_Config.restartCollectMs;
    job.m_SkipBlank.store(m_Config.skipBlank);
    // Watching, units come and go on the port, each maybe with its own adapter: any device is taken.
    m_System->m_PortWorker.m_KeepDevice.store(!m_Config.watch);
    // A watched adapter is looked at often; a receiver that is there answers well within the shorter limit,
    // so a pulled one is noticed soon.
    if (m_Config.watch)
        m_System->m_Check.m_Timing.checkLimitMs = m_Config.watchCheckLimitMs;
}

void CStationSlot::RenewSystem() {
    m_System->Shutdown();
    Drain();
    m_System = std::make_unique<CSystem>();
    ConfigureSystem();
    m_System->m_PortWorker.RequestPort(m_PortIndex);
    m_System->StartWorkers();
    m_PortClosedSeen = false;
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

void CStationSlot::LogOwn(const std::string& text) {
    m_Log.Line(TimedLine(text));
}

void CStationSlot::Drain() {
    CChannel& channel = m_System->m_Channel;
    while (std::optional<std::string> line = channel.m_LogQueue.Pop()) {
        // The port closes only when its device has gone (or the system ends).
        if (line->find("rx tx threads closed") != std::string::npos)
            m_PortClosedSeen = true;
        // The first failure line names the cause; the ones after it follow from it. A run without a log
        // folder needs it as much.
        if (m_InUnit && m_FirstError.empty() && IsFailureLine(*line)) {
            size_t tab = line->find('\t');
            m_FirstError = tab == std::string::npos ? *line : line->substr(tab + 1);
        }
        if (m_Log.IsOpen())
            m_Log.Line(*line);
        else if (m_Pending.size() < PENDING_LINES)
            m_Pending.push_back(std::move(*line));
    }
    // The phase and the unit's end tell the operator what the status lines would.
    while (channel.m_StatusQueue.Pop()) {
    }
}

bool CStationSlot::PortLost() {
    Drain();
    const bool lost = m_PortClosedSeen || m_System->m_PortWorker.m_Port->IsOpen() != 1;
    m_PortClosedSeen = false;
    return lost;
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

bool CStationSlot::HoldsImage(const ReceiverTexts& t) const {
    if (t.model == "PFLD")
        return false;
    if (m_Config.expected.optionsImage)
        return t.serial == m_Config.expected.serial;
    return VersionMatches(m_Config.expected.version, t.version);
}

UnitRecord CStationSlot::NewRecord() const {
    UnitRecord r;
    r.port = m_PortPath;
    r.portPath = m_PortPhysical;
    r.adapterSerial = m_Adapter;
    if (m_Config.expected.optionsImage)
        r.serialWritten = m_Config.expected.serial;
    r.startTime = Clock::now();
    return r;
}

void CStationSlot::Run() {
    m_Adapter = AdapterSerial(m_PortPath);
    m_PortPhysical = PhysicalPath(m_PortPath);
    m_System->m_PortWorker.RequestPort(m_PortIndex);
    m_System->StartWorkers();
    if (m_Config.watch) {
        RunWatch();
    } else {
        UnitRecord record = NewRecord();
        SetView("opening");
        if (!WaitPortOpen(m_Config.openLimitMs)) {
            // A port that is there but cannot be used counts as kavrel counts it: with the port errors.
            record.exitCode = Stopping() ? 1 : 2;
            if (!Stopping())
                record.result = "port not usable";
            record.reason = Stopping() ? "interrupted"
                            : m_System->m_PortWorker.m_SerialPort.PortLocked() == 1
                                ? "the port is held by another program"
                                : "the port could not be opened";
            Finish(record);
        } else {
            SetView("checking");
            ReceiverTexts texts;
            const uint32_t tick = TickMs();
            std::string refused;
            if (!Identify(texts)) {
                record.checkMs = ElapsedMs(tick);
                record.exitCode = Stopping() ? 1 : 4;
                record.reason = Stopping() ? "interrupted" : "no receiver answered";
                Finish(record);
            } else if (m_Sink.claimUnit && !m_Sink.claimUnit(refused)) {
                Say("not flashed: " + refused);
                SetView("not flashed");
            } else {
                const Clock::time_point began = record.startTime;
                record = RunUnit(texts, ElapsedMs(tick));
                record.startTime = began;
                Finish(record);
            }
        }
    }
    m_System->Shutdown();
    Drain();
}

void CStationSlot::RunWatch() {
    enum class Hold { None, Passed, Failed };
    Hold hold = Hold::None;
    std::string heldKey;
    uint32_t attempts = 0;
    bool refusedSaid = false;
    auto release = [&](const char* why) {
        if (hold != Hold::None)
            Say(why);
        hold = Hold::None;
        heldKey.clear();
        attempts = 0;
        refusedSaid = false;
        std::lock_guard<std::mutex> lock(m_ViewLock);
        m_View.unit.clear();
        m_View.versionAfter.clear();
        m_View.verdict = 0;
    };
    while (!Stopping() && !m_Finish.load()) {
        if (hold == Hold::None)
            SetView("waiting");
        if (PortLost()) {
            // The adapter or the terminal behind the port went away: whatever comes back is a new unit, maybe
            // on another adapter behind the same name.
            release("unit removed");
            if (!WaitPortOpen(m_Config.idleCheckMs))
                continue;
            m_Adapter = AdapterSerial(m_PortPath);
            m_PortPhysical = PhysicalPath(m_PortPath);
        }
        ReceiverTexts texts;
        const Clock::time_point began = Clock::now();
        const uint32_t tick = TickMs();
        if (!Identify(texts)) {
            // A unit that failed may stay silent in its loader until it is unplugged; a passed one answers.
            if (hold == Hold::Passed)
                release("unit removed");
            Pause(m_Config.idleCheckMs);
            continue;
        }
        const std::string key = UnitKey(texts);
        // A unit that failed may be left in its loader, where it cannot tell its serial.
        const bool same = key == heldKey || (hold == Hold::Failed && texts.model == "PFLD");
        if (hold != Hold::None && !same)
            release("another receiver answers");
        if ((hold == Hold::Passed && HoldsImage(texts)) ||
            (hold == Hold::Failed && attempts > m_Config.retries)) {
            Pause(m_Config.idleCheckMs);
            continue;
        }
        if (Stopping() || m_Finish.load())
            break;
        std::string refused;
        if (m_Sink.claimUnit && !m_Sink.claimUnit(refused)) {
            if (!refusedSaid)
                Say("receiver " + UnitText(texts) + " not flashed: " + refused);
            refusedSaid = true;
            SetView("not flashed");
            Pause(m_Config.idleCheckMs);
            continue;
        }
        if (hold == Hold::Failed)
            Say("retry " + std::to_string(attempts) + " of " + std::to_string(m_Config.retries));
        UnitRecord record = RunUnit(texts, ElapsedMs(tick));
        record.startTime = began;
        Finish(record);
        if (Stopping())
            break;
        if (record.result == "disconnected") {
            RenewSystem();
            release("unit removed");
            continue;
        }
        // The unit is held while the same receiver answers: done when it holds the image, otherwise until
        // it is unplugged or its retries are used.
        attempts = hold == Hold::Failed ? attempts + 1 : 1;
        hold = record.exitCode == 0 ? Hold::Passed : Hold::Failed;
        // An Options image gives the unit its new serial: the receiver answers with that from now on.
        heldKey = record.exitCode == 0 ? UnitKey({record.modelAfter, {}, {}, record.serialAfter}) : key;
        if (hold == Hold::Passed) {
            Say("unit " + UnitText({record.modelAfter, record.versionAfter, {}, record.serialAfter}) +
                " done; waiting for the next receiver");
        } else if (attempts > m_Config.retries) {
            Say("unit " + UnitText(texts) + " failed; unplug it to go on");
            SetView(record.result + ", unplug");
        }
    }
}

void CStationSlot::OpenLog(UnitRecord& r, const ReceiverTexts& before) {
    if (m_Config.logDir.empty())
        return;
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    UtcTimeOf(now, utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    // The name tells a person where the unit was; the exclusive create keeps two units apart.
    const std::string stem = std::string(stamp) + "_" + FileNamePart(m_PortPath, 48) + "_" +
                             FileNamePart(before.serial.empty() ? "unknown" : before.serial, 32);
    std::string error;
    if (!m_Log.Create(m_Config.logDir, stem, error)) {
        Say(error);
        if (m_Sink.writeError)
            m_Sink.writeError(error);
        return;
    }
    r.logFile = m_Log.Path();
    const RunInfo& run = m_Config.run;
    LogOwn("station " + run.station + ", kavrel-line " + run.program + ", run " + run.runId);
    if (!run.operatorName.empty() || !run.lot.empty())
        LogOwn("operator " + run.operatorName + ", lot " + run.lot);
    LogOwn("image " + run.image + ", " + std::to_string(run.imageSize) + " bytes, " + run.imageType + " " +
           run.imageVersion + ", SHA-256 " + run.imageSha256);
    LogOwn("port " + m_PortPath + (m_PortPhysical.empty() ? std::string() : ", position " + m_PortPhysical) +
           (m_Adapter.empty() ? std::string() : ", adapter " + m_Adapter));
    LogOwn("receiver " + UnitText(before) + ", options " + before.options);
}

UnitRecord CStationSlot::RunUnit(const ReceiverTexts& before, uint32_t checkMs) {
    CSystem& s = *m_System;
    CUploadJob& job = s.m_Job;
    UnitRecord r = NewRecord();
    r.model = before.model;
    r.serial = before.serial;
    r.options = before.options;
    r.versionBefore = before.version;
    r.checkMs = checkMs;
    m_FirstError.clear();
    m_InUnit = true;
    {
        std::lock_guard<std::mutex> lock(m_ViewLock);
        m_View.unit = UnitText(before);
        m_View.versionAfter.clear();
        m_View.verdict = 0;
    }
    Say("receiver " + UnitText(before));

    OpenLog(r, before);
    for (const std::string& line : m_Pending)
        m_Log.Line(line);
    m_Pending.clear();

    // Each job closes the image's stream at its end; every unit loads the snapshot taken at start.
    if (!LoadImage(s.m_Image, m_Config.snapshot, s.m_Channel)) {
        r.exitCode = 3;
        r.reason = "the image could not be loaded";
        return r;
    }
    const double sectionBytes = s.m_Image.Section(0).size;

    SetView("loading", 0);
    CCommPort* port = s.m_PortWorker.m_Port;
    PortLost(); // only a loss from here on counts
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
    bool lost = false;
    bool resulted = false;
    int stage = -1;
    uint32_t stageTick = last;
    int stagePerMille = 0;
    int lastQuarter = -1;
    for (;;) {
        if (!cancelled && !resulted && PortLost())
            lost = true;
        if ((Stopping() || lost) && !cancelled) {
            job.CancelUpload();
            // Every wait of the workers ends with the channel's stop; the system is renewed or ended after.
            s.m_Channel.RequestStop();
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
            // The erase ends where programming begins: its line shows it whole.
            if (stage == 2 && shown == 3 && m_Config.progressLines && lastQuarter < 4)
                Say("erasing 100%");
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

    // The job may have noticed the loss itself and ended first.
    if (!lost && job.m_Result.Get() != 1 && (PortLost() || job.PortGone()))
        lost = true;
    if (lost) {
        r.exitCode = 5;
        r.result = "disconnected";
        r.reason = "the receiver's port went away";
        return r;
    }
    if (job.m_Start.Get() != 0 || job.m_Result.Get() != 1) {
        r.exitCode = cancelled ? 1 : 5;
        r.reason = cancelled ? "interrupted" : m_FirstError.empty() ? "upload incomplete" : m_FirstError;
        return r;
    }

    SetView("verifying");
    const uint32_t verifyStart = TickMs();
    bool gone = false;
    const bool identified = AwaitIdentification(s, m_Config.verifyLimitMs, [this, &gone] {
        gone = gone || PortLost();
        return Stopping() || gone;
    });
    r.restartMs += ElapsedMs(verifyStart);
    Drain();
    const ReceiverTexts after = s.m_Check.Texts();
    if (identified) {
        r.modelAfter = after.model;
        r.serialAfter = after.serial;
        r.optionsAfter = after.options;
        r.versionAfter = after.version;
    }
    if (gone && !identified) {
        r.exitCode = 5;
        r.verified = false;
        r.result = "disconnected";
        r.reason = "the receiver's port went away before the verification";
        return r;
    }
    const VerifyOutcome v = VerifyReceiver(m_Config.expected, before, identified, after);
    r.verified = v.verified;
    if (!v.verified) {
        r.exitCode = Stopping() ? 1 : 5;
        r.reason = Stopping() ? "interrupted before the verification" : v.reason;
    }
    return r;
}

void CStationSlot::Finish(UnitRecord& r) {
    r.endTime = Clock::now();
    m_InUnit = false;
    if (r.result.empty())
        r.result = r.exitCode == 5 && r.verified.has_value() && !*r.verified ? "not verified"
                                                                             : ResultText(r.exitCode);
    Drain();
    if (m_Log.IsOpen()) {
        LogOwn("verdict: " + r.result + " (exit code " + std::to_string(r.exitCode) + ")" +
               (r.reason.empty() ? std::string() : ": " + r.reason));
        if (!m_Log.Close()) {
            Say(m_Log.Error());
            if (m_Sink.writeError)
                m_Sink.writeError(m_Log.Error());
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_ViewLock);
        m_View.phase = r.result;
        m_View.perMille = -1;
        m_View.versionAfter = r.versionAfter;
        m_View.verdict = r.exitCode == 0 ? 1 : r.result == "not verified" ? 2 : 3;
    }
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
