#pragma once
// The conversation with the receiver's two loaders: the one-byte link, flash identification, erase and
// programming, and the whole target upload. The upload job derives from this class; everything here runs on
// the upload worker thread, and the cells below are what other threads may read or write.

#include "core/Channel.h"
#include "core/LockedValue.h"
#include "loader/LoaderCodes.h"
#include "loader/LoaderTimings.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CCommPort;
class CImageFile;
class ImageStream;
class ImageSection;
struct ProgramRecord;

// Status texts that the protocol pushes (entries of the program's string table; a translation may replace
// them).
struct LoaderTexts {
    std::string erasing = "Erasing FLASH memory";                   // 137
    std::string programming = "Programming";                        // 138
    std::string sfldOpenFailed = "ERROR: failed to open SFL file:"; // 149, followed by a space and the path
    std::string frameOutside = "ERROR: frame outside the erased range";
};

class CLoaderProtocol {
public:
    static constexpr const char* PORT_GONE_TEXT = "the receiver's port went away";

    // Room of the flash description that IdentifyFlash fills.
    static constexpr size_t FLASH_DESC_SIZE = 256;
    // Longest version line kept; the rest of an endless line is dropped.
    static constexpr size_t VERSION_TEXT_MAX = 255;

    // programDir: folder of the first-stage loader file; empty means the running program's folder.
    CLoaderProtocol(CChannel& channel, CCommPort* port, CImageFile& image,
                    const std::string& programDir = {});
    virtual ~CLoaderProtocol() = default;
    CLoaderProtocol(const CLoaderProtocol&) = delete;
    CLoaderProtocol& operator=(const CLoaderProtocol&) = delete;

    // The port may change between jobs (the port worker reopens it); never during one.
    void SetPort(CCommPort* port) { m_Port.store(port); }
    CCommPort* GetPort() const { return m_Port.load(); }

    // --- link (waits, greeting, versions) ---
    // A stop, a cancel, or the watched port gone: every wait ends at its next look.
    bool IsAborted();
    // From now on a port that hangs up, is closed or is opened again counts as gone (the device it led to
    // has left); Unwatch ends that, the mark stays until the next WatchPort.
    void WatchPort();
    void UnwatchPort() { m_Watching.store(false); }
    // True once the watched port went away; the first look that finds it logs PORT_GONE_TEXT.
    bool PortGone();
    bool WaitOk();
    bool WaitRecWait();
    bool SkipParam();
    bool ReadParam(uint8_t& value);
    bool ConnectSfld();
    void ReadSfldVersion();
    bool ReadPfldVersion();

    // --- flash identification ---
    bool IdentifyFlash(char* desc, size_t descSize);

    // --- erase and programming ---
    bool RunSfld(CImageFile& image);
    bool UploadSection(CImageFile& image, int index);
    bool BootReload();
    bool WaitErase();
    bool SendRecord(const ProgramRecord& record);
    bool SendRecordOnce(const ProgramRecord& record);
    bool SendSection(ImageStream& stream, ImageSection& section);
    bool RunImage(uint32_t address);

    // --- target upload ---
    bool UploadTarget();
    bool LoadSfld(ImageStream& stream, ImageSection& section);
    bool EnterLoaderMode();

    // Folder that holds the first-stage loader file; empty means the folder of the running program.
    void SetProgramDir(const std::string& dir);
    std::string GetProgramDir();
    // Where the first-stage loader file may lie: beside the program (the build folder), then in the data
    // folder of an installed program (../share/kavrel from the program's folder). Empty when the program's
    // folder cannot be found.
    std::vector<std::string> SfldCandidates();
    // The first candidate that exists; the first candidate when none does.
    std::string SfldPath();

    // Cells shared with the dialog and the upload worker.
    LockedInt m_FlashWriting{0};
    LockedString m_SfldVersion{std::string()};
    LockedString m_PfldVersion{std::string()};
    std::atomic<int> m_ConnectBudget{30}; // seconds
    LockedInt m_Cancel{0};
    LockedShort m_Phase{0};
    LockedShort m_Progress{0};

    // Used by the protocol only (upload worker thread); atomic so tests may look at them from outside.
    std::atomic<uint8_t> m_SfldBaud{LOADER_BAUD_INDEX};
    std::atomic<uint8_t> m_RecordWait{0};

    // After the erase the flash reads 0xFF, so a frame of nothing but 0xFF changes nothing: with this set
    // such frames are not sent (progress still counts them). Off by default: a loader might expect them all.
    std::atomic<bool> m_SkipBlank{false};
    // Data bytes of the flash sections in the last session: sent in frames, and left out as blank.
    std::atomic<uint64_t> m_BytesSent{0};
    std::atomic<uint64_t> m_BytesSkipped{0};

    // Protocol limits (tests shrink them) and status texts; set before a job starts, never during one.
    CLoaderTimings m_Timings;
    LoaderTexts m_Texts;

protected:
    CCommPort& Port();
    // One data-arrival wait of at most the remaining time, cut into slices so a cancel is seen soon.
    void WaitData(uint32_t remainingMs);
    // The pause of a loop that paces its reading: up to paceMs, but over as soon as a byte is waiting (or
    // the port's waiters are released), so the loop keeps its steps and limits and answers without delay.
    void PaceRx();
    // A pause of ms that an abort cuts short (within one wait slice); false when aborted.
    bool PauseUnlessAborted(uint32_t ms);
    // Waits until the port has sent what is queued: first about the line time of the queue, then in
    // millisecond steps. False on abort, and (logged, m_LineFault set) when the output has not drained
    // within its line time plus txDrainMs. A port that has been closed under us drains nothing more, so
    // the caller goes on to its reply wait (which then runs out) instead of polling forever.
    bool WaitTxDone();
    void LogF(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void SetProgress(double done, double total);

    CChannel& m_Channel;
    CImageFile& m_Image;

private:
    std::atomic<CCommPort*> m_Port;
    // Set when the port's output stopped draining: a line fault, not a refusal, so frames are not retried.
    bool m_LineFault = false;
    std::atomic<bool> m_Watching{false};
    std::atomic<bool> m_PortGone{false};
    std::atomic<uint32_t> m_WatchedOpenCount{0};
    LockedString m_ProgramDir{std::string()};
};
