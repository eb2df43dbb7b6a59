#include "UnattendedRun.h"

#include "ConsoleReport.h"
#include "DialogCore.h"
#include "StringTable.h"
#include "SystemAccess.h"
#include "core/Clock.h"
#include "upload/UploadCheck.h"

// The texts that the workers push come from the string table too, so a catalogue reaches them.
void ApplyWorkerTexts(CSystem& system) {
    CUploadJob& job = Job(system);
    job.m_JobTexts.failed = LoadStr(146);
    job.m_JobTexts.canceled = LoadStr(136);
    job.m_JobTexts.waitComplete = LoadStr(171);
    job.m_JobTexts.complete = LoadStr(147);
    job.m_Texts.erasing = LoadStr(137);
    job.m_Texts.programming = LoadStr(138);
    job.m_Texts.sfldOpenFailed = LoadStr(149);
}

std::string MessageBoxEchoLine(const std::string& caption, const std::string& text, const char* answered) {
    std::string line = caption + ": " + text;
    for (char& c : line)
        if (c == '\n')
            c = ' ';
    if (answered && std::string(answered) == "Cancel")
        line += " [answered Cancel: no display to ask on; -m answers OK]";
    else if (answered)
        line += std::string(" [") + answered + ", message boxes are off]";
    return line;
}

const char* OutcomeText(int code) {
    switch (code) {
    case 0:
        return "upload complete";
    case 1:
        return "closed or interrupted";
    case 2:
        return "port not found or could not be used";
    case 3:
        return "the image file is not a valid image";
    case 4:
        return "no receiver answered";
    case 5:
        return "upload failed";
    default:
        return "ended";
    }
}

// The restarted receiver identifies itself again and must be the one checked before the upload, reporting
// what the image holds; then one line says what was done. A failed check ends the run with 5 when --verify
// asked for it, and a different receiver always does.
int EndOfUnattendedUpload(CSystem& system, CDialogCore& dlg, CConsoleReport& console, bool verify,
                          const std::function<bool()>& stop) {
    UploadSummary summary;
    // The receiver the job itself identified right before the upload, not what the dialog saw earlier.
    summary.before = Job(system).m_ReceiverChecked.Get();
    summary.seconds = ElapsedMs(dlg.m_UploadStartMs) / 1000.0;
    summary.bytes = Job(system).m_BytesSent.load() + Job(system).m_BytesSkipped.load();
    const uint32_t limitMs = 20000;
    // A signal ends this wait too; the receiver then stays unverified.
    summary.afterKnown = AwaitIdentification(system, limitMs, stop);
    summary.after = Check(system).Texts();
    VerifyOutcome v =
        VerifyReceiver(ExpectationOf(Image(system)), summary.before, summary.afterKnown, summary.after);
    std::string line =
        v.verified ? "Verified: the receiver reports what the image holds" : "Not verified: " + v.reason;
    Channel(system).Log(line);
    console.Notice(line);
    console.Notice(SummaryLine(summary));
    return v.verified || (!verify && !v.differentReceiver) ? 0 : 5;
}
