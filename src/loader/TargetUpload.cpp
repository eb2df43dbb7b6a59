// The whole conversation for one upload: loader mode, the resident loader's version, the first-stage loader
// into RAM and started, then the first-stage loader session that erases and programs the image.

#include "core/Clock.h"
#include "core/Platform.h"
#include "image/ImageFile.h"
#include "image/ImageSection.h"
#include "image/ImageStream.h"
#include "image/ProgramRecord.h"
#include "loader/LoaderCodes.h"
#include "loader/LoaderProtocol.h"
#include "serial/CommPort.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>
#include <memory>
#include <unistd.h>

namespace {

constexpr char PFLD_BANNER[] = "$VER,PFLD_Pellar2v";
constexpr size_t PFLD_BANNER_LENGTH = sizeof PFLD_BANNER - 1;
constexpr char SFLD_FILE_NAME[] = "tz5_sfl.hex";
#ifndef KV_DATA_FROM_BIN
#define KV_DATA_FROM_BIN "../share/kavrel"
#endif
constexpr size_t LOADER_SENTENCE_LENGTH = 16;
constexpr const char* LOADER_SENTENCES[2] = {"$PQELS,PFL,LOA\r\n", "$PQELS,PFL,LDR\r\n"};
// Bytes examined per listening pass, so a stream of noise cannot hold the loop.
constexpr int LISTEN_BYTES_PER_PASS = 1002;

} // namespace

void CLoaderProtocol::SetProgramDir(const std::string& dir) {
    m_ProgramDir.Set(dir);
}

std::string CLoaderProtocol::GetProgramDir() {
    std::string dir = m_ProgramDir.Get();
    if (!dir.empty())
        return dir;
    return ProgramFolder();
}

std::vector<std::string> CLoaderProtocol::SfldCandidates() {
    const std::string dir = GetProgramDir();
    if (dir.empty())
        return {};
    const std::filesystem::path base(dir);
    return {(base / SFLD_FILE_NAME).lexically_normal().string(),
            (base / KV_DATA_FROM_BIN / SFLD_FILE_NAME).lexically_normal().string()};
}

std::string CLoaderProtocol::SfldPath() {
    const std::vector<std::string> candidates = SfldCandidates();
    for (const std::string& path : candidates)
        if (access(path.c_str(), F_OK) == 0)
            return path;
    return candidates.empty() ? std::string() : candidates.front();
}

bool CLoaderProtocol::ReadPfldVersion() {
    CCommPort& port = Port();
    port.Purge();
    port.SendByte(PFL_VERSION_CODE);
    m_PfldVersion.Set(std::string());
    std::string text;
    bool started = false;
    m_Channel.Log("get PFL version");

    const uint32_t start = TickMs();
    for (;;) {
        uint8_t b = 0;
        while (port.ReadByte(b)) {
            if (b == '$') {
                started = true;
                if (text.size() < VERSION_TEXT_MAX)
                    text += static_cast<char>(b);
                continue;
            }
            if (!started)
                continue;
            if (b != '\r' && b != '\n') {
                if (text.size() < VERSION_TEXT_MAX)
                    text += static_cast<char>(b);
                continue;
            }
            size_t at = text.find(PFLD_BANNER);
            if (at == std::string::npos) {
                // Some other line: forget it and wait for the next '$'.
                text.clear();
                started = false;
                continue;
            }
            UnionSection& first = m_Image.Section(0);
            const size_t versionLength = strnlen(first.version, sizeof first.version);
            const char* after = text.c_str() + at + PFLD_BANNER_LENGTH;
            if (std::strncmp(after, first.version, versionLength) == 0)
                first.bootCurrent = true;
            m_PfldVersion.Set(text);
            LogF("PFLD Version ID: %s", text.c_str());
            return true;
        }
        if (IsAborted())
            return false;
        PaceRx();
        if (ElapsedMs(start) >= m_Timings.pfldVersionMs)
            return false;
    }
}

bool CLoaderProtocol::EnterLoaderMode() {
    CCommPort& port = Port();
    port.SetBaudIndex(LOADER_BAUD_INDEX);
    port.Purge();
    m_Channel.Log("Baud rate - 115200");

    const uint32_t start = TickMs();
    if (!IsAborted()) {
        int sentence = 0;
        bool reached = false;
        const uint64_t budgetMs =
            static_cast<uint64_t>(std::max(0, m_ConnectBudget.load())) * m_Timings.budgetUnitMs;
        while (!reached && ElapsedMs(start) < budgetMs) {
            port.Send(reinterpret_cast<const uint8_t*>(LOADER_SENTENCES[sentence]), LOADER_SENTENCE_LENGTH);
            sentence ^= 1;
            port.SendByte(OK_CODE);
            if (!WaitTxDone())
                return false;
            m_Channel.SleepMs(port.CharTimeMs(5));

            const uint32_t listen = TickMs();
            while (!reached && ElapsedMs(listen) < m_Timings.listenMs) {
                PaceRx();
                uint8_t b = 0;
                for (int n = 0; n < LISTEN_BYTES_PER_PASS && port.ReadByte(b); ++n) {
                    if (b == LOAD_CODE) {
                        reached = true;
                        break;
                    }
                }
                if (IsAborted())
                    return false;
            }
            if (IsAborted())
                break;
        }
    }
    // Also after the budget ran out: a loader that ignores the sentences may still answer the version query.
    if (!ReadPfldVersion())
        return false;
    port.SendByte(LOAD_CODE);
    return true;
}

bool CLoaderProtocol::LoadSfld(ImageStream& stream, ImageSection& section) {
    m_Channel.Log("*Load image*");
    m_Channel.Log("Target - TZ5 PFL");
    m_Channel.Log("> Try to connnect target");
    m_Progress.Set(0);
    if (!EnterLoaderMode()) {
        m_Channel.Log("TZ5 PFL - not connected");
        return false;
    }
    m_Channel.Log("TZ5 PFL - connected");
    if (!SendSection(stream, section)) {
        m_Channel.Log("ERROR: section upload failed");
        return false;
    }
    m_Channel.Log("Section upload is successful");
    if (!RunImage(section.start))
        return false;
    auto record = std::make_unique<ProgramRecord>();
    record->SetEmpty();
    return SendRecord(*record);
}

bool CLoaderProtocol::UploadTarget() {
    m_SfldVersion.Set(std::string());
    m_Phase.Set(0);
    // Only the first-stage loader announces each frame; the resident loader that takes it into RAM does
    // not, so every upload starts without the record wait.
    m_RecordWait.store(0);

    CCommPort* port = GetPort();
    if (port == nullptr || !port->IsOpen()) {
        m_Channel.Log("ERROR: no port available");
        return false;
    }
    m_Phase.Set(1);

    const uint8_t count = m_Image.Count();
    UnionSection* carried = count > 0 ? &m_Image.Section(static_cast<uint8_t>(count - 1)) : nullptr;
    if (carried != nullptr && carried->fwId == FwId::Sfl && carried->active) {
        m_Channel.Log("Upload SFLD From image-union file");
        if (!LoadSfld(m_Image.Stream(), *carried))
            return false;
        m_Channel.Log("SFLD upload is successful");
    } else {
        const std::string path = SfldPath();
        if (path.empty()) {
            m_Channel.Log("GetModuleFileName failed");
            return false;
        }
        LogF("Upload SFLD From file - %s", path.c_str());
        auto stream = std::make_unique<ImageStream>();
        if (!stream->Open(path, m_Channel)) {
            m_Channel.Log("ERROR: SFLD file open failed");
            // A file that is nowhere: say every place that was searched.
            std::string where = path;
            if (access(path.c_str(), F_OK) != 0) {
                where.clear();
                for (const std::string& candidate : SfldCandidates())
                    where += (where.empty() ? "" : " or ") + candidate;
                m_Channel.Log("looked for the loader file in " + where);
            }
            m_Channel.PushStatus(m_Texts.sfldOpenFailed + " " + where);
            return false;
        }
        auto section = std::make_unique<ImageSection>();
        if (!section->Open(*stream, 0)) {
            m_Channel.Log("ERROR: wrong SFLD resource format");
            stream->Close();
            return false;
        }
        if (!LoadSfld(*stream, *section)) {
            stream->Close();
            return false;
        }
        m_Channel.Log("SFLD upload is successful");
        stream->Close();
    }

    m_SfldBaud.store(LOADER_BAUD_INDEX);
    m_RecordWait.store(1);
    return RunSfld(m_Image);
}
