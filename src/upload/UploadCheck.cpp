#include "UploadCheck.h"

#include "core/Clock.h"
#include "image/ImageFile.h"
#include "image/ImageTypes.h"
#include "upload/System.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

constexpr uint32_t LOOK_MS = 50;
// A check that does not end within its own limits is not waited for longer than this.
constexpr uint32_t CHECK_MARGIN_MS = 1000;

void Look() {
    std::this_thread::sleep_for(std::chrono::milliseconds(LOOK_MS));
}

std::string Or(const std::string& text, const char* fallback) {
    return text.empty() ? std::string(fallback) : text;
}

} // namespace

ImageExpectation ExpectationOf(const CImageFile& image) {
    ImageExpectation e;
    if (image.Count() == 0)
        return e;
    const UnionSection& first = image.Section(0);
    e.optionsImage = first.fwId == FwId::Options;
    // An Options section names its serial; no options text of its own is read from it.
    if (e.optionsImage)
        e.serial = first.optionsSerial;
    else // the load reduces the image to one section; the main firmware's identification stays in slot 1
        e.version = image.Section(1).version;
    return e;
}

bool VersionMatches(const std::string& imageVersion, const std::string& reported) {
    if (imageVersion.empty() || reported.empty())
        return false;
    if (imageVersion == reported)
        return true;
    char converted[CReceiverCheck::TEXT_SIZE] = {};
    std::snprintf(converted, sizeof converted, "%s", imageVersion.c_str());
    CReceiverCheck::ConvertVersion(converted);
    return reported == converted;
}

VerifyOutcome VerifyReceiver(const ImageExpectation& expected, const ReceiverTexts& before, bool identified,
                             const ReceiverTexts& after) {
    VerifyOutcome v;
    // A receiver checked in its loader told neither model nor serial: only the image can be compared.
    const bool known = !before.model.empty() && before.model != "PFLD";
    // An Options image writes its own serial (one it did not take leaves the serial checked before); any
    // other image leaves the serial alone.
    const bool serialOk = expected.optionsImage
                              ? after.serial == expected.serial || after.serial == before.serial
                              : after.serial == before.serial;
    // A receiver that refused the options query was known by its type alone; new firmware may answer the
    // query with a model field that is no type, so the type is held to only while it still refuses.
    const bool same = before.serial.empty() ? !after.serial.empty() || after.model == before.model
                                            : after.model == before.model && serialOk;
    if (!identified) {
        v.reason = "the receiver did not identify itself after the restart";
    } else if (after.model == "PFLD") {
        v.reason = "the receiver is still in its loader (PFLD " + after.version + ")";
    } else if (known && !same) {
        v.differentReceiver = true;
        v.reason = "a different receiver answered (" + Or(after.model, "(no model)") + " " +
                   Or(after.serial, "(no serial)") + ")";
    } else if (expected.optionsImage) {
        if (after.serial.empty())
            v.reason = "the receiver reports no serial number (the image holds " + expected.serial + ")";
        else if (after.serial != expected.serial)
            v.reason = "the receiver reports serial " + after.serial + ", the image holds " + expected.serial;
        else if (after.options.empty())
            v.reason = "the receiver reports no options";
        else if (!expected.options.empty() && after.options != expected.options)
            v.reason =
                "the receiver reports options " + after.options + ", the image holds " + expected.options;
    } else if (!VersionMatches(expected.version, after.version)) {
        v.reason = "the receiver reports version " + Or(after.version, "(none)") + ", the image holds " +
                   Or(expected.version, "(none)");
    }
    v.verified = v.reason.empty();
    return v;
}

void ServiceCheckRequests(CSystem& system) {
    LockedInt& opened = system.m_PortWorker.m_PortOpened;
    if (opened.Changed() && opened.Get() != 0)
        system.m_Check.RequestCheck();
}

bool AwaitIdentification(CSystem& system, uint32_t limitMs, const std::function<bool()>& stop) {
    const uint32_t start = TickMs();
    auto over = [&] { return ElapsedMs(start) >= limitMs || (stop && stop()); };
    // The worker's own restart phase asks for checks through the port-opened cell.
    while (system.m_Job.m_Start.Get() != 0 && !over()) {
        ServiceCheckRequests(system);
        Look();
    }
    CReceiverCheck& check = system.m_Check;
    while (!over()) {
        if (check.m_Identified.Get() == 1 && check.m_CheckRunning.Get() == 0)
            return true;
        check.RequestCheck();
        const CReceiverCheck::Timing& t = check.m_Timing;
        const uint32_t checkLimit = t.checkLimitMs + std::max(t.sentenceLimitMs, t.closedPortSleepMs) +
                                    t.idleWaitMs + CHECK_MARGIN_MS;
        const uint32_t asked = TickMs();
        // The worker raises the cell itself at the start of a check; wait until it has ended.
        Look();
        while (check.m_CheckRunning.Get() == 1 && ElapsedMs(asked) < checkLimit && !over())
            Look();
    }
    return check.m_Identified.Get() == 1 && check.m_CheckRunning.Get() == 0;
}

std::string RateText(double bytesPerSecond) {
    char text[32];
    if (!(bytesPerSecond >= 0) || std::isinf(bytesPerSecond))
        return "-";
    if (bytesPerSecond >= 1024.0 * 1024.0)
        std::snprintf(text, sizeof text, "%.1f MB/s", bytesPerSecond / (1024.0 * 1024.0));
    else if (bytesPerSecond >= 1024.0)
        std::snprintf(text, sizeof text, "%.1f kB/s", bytesPerSecond / 1024.0);
    else
        std::snprintf(text, sizeof text, "%.0f B/s", bytesPerSecond);
    return text;
}

std::string DurationText(double seconds) {
    if (!(seconds >= 0) || seconds > 359999)
        return "-:--";
    long s = std::lround(seconds);
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

std::string SummaryLine(const UploadSummary& s) {
    std::string who = Or(s.before.model, "receiver");
    if (!s.before.serial.empty())
        who += " " + s.before.serial;
    std::string line = who + ": version " + Or(s.before.version, "?") + " -> " +
                       (s.afterKnown ? Or(s.after.version, "?") : std::string("?"));
    line += ", " + std::to_string(s.bytes) + " bytes in " + DurationText(s.seconds);
    line += " (" + RateText(s.seconds > 0 ? static_cast<double>(s.bytes) / s.seconds : -1) + ")";
    return line;
}
