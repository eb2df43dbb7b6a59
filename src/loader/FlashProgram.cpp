// Frame traffic with the loaders: the first-stage loader session (identify, then erase and program each
// section), the frame sender with its retries, the RAM load of a stand-alone section and the run command.

#include "core/Clock.h"
#include "image/ImageFile.h"
#include "image/ImageSection.h"
#include "image/ProgramRecord.h"
#include "loader/LoaderCodes.h"
#include "loader/LoaderProtocol.h"
#include "serial/CommPort.h"

#include <cinttypes>
#include <cstdio>
#include <memory>

namespace {

// Data bytes of a finished data frame sit after '[', the two length bytes and the 4-byte address.
constexpr uint16_t DATA_AT = 7;

bool IsBlankFrame(const ProgramRecord& record) {
    if (DATA_AT + record.dataCount > ProgramRecord::FRAME_SIZE)
        return false;
    for (uint16_t i = 0; i < record.dataCount; ++i)
        if (record.frame[DATA_AT + i] != 0xFF)
            return false;
    return true;
}

// Every data byte of the frame lies in [start, end), the range the loader was told to erase.
bool InsideErase(const ProgramRecord& record, uint32_t start, uint32_t end) {
    return record.frameAddress >= start &&
           static_cast<uint64_t>(record.frameAddress) + record.dataCount <= static_cast<uint64_t>(end);
}

} // namespace

bool CLoaderProtocol::RunSfld(CImageFile& image) {
    if (!ConnectSfld()) {
        m_Channel.Log("SFLD not connected");
        return false;
    }
    m_BytesSent.store(0);
    m_BytesSkipped.store(0);
    ReadSfldVersion();
    char desc[FLASH_DESC_SIZE] = {};
    IdentifyFlash(desc, sizeof desc);
    LogF("FLASH Type: %s", desc);
    m_FlashWriting.Set(1);

    const uint8_t count = image.Count();
    for (uint8_t i = 0; i < count; ++i) {
        const UnionSection& section = image.Section(i);
        if (!section.active || section.fwId == FwId::Sfl)
            continue;
        if (!UploadSection(image, i))
            return false;
    }
    Port().Purge();
    m_Channel.SleepMs(Port().CharTimeMs(3));
    return true;
}

bool CLoaderProtocol::UploadSection(CImageFile& image, int index) {
    if (index < 0 || index >= image.Count())
        return false;
    const uint8_t i = static_cast<uint8_t>(index);
    CCommPort& port = Port();
    LogF("=============== Upload section N%i ===============", index);
    image.RewindSection(i);
    UnionSection& section = image.Section(i);

    // A loader that cannot reopen the boot area still gets its erase: only the boot sectors stay locked.
    if (!section.bootCurrent)
        BootReload();

    port.SendByte(OK_CODE);
    if (!WaitOk())
        return false;

    const uint32_t start = section.start;
    const uint32_t end = section.start + section.size;
    LogF("ERASE From 0x%08" PRIX32 " to 0x%08" PRIX32, start, end);
    m_Channel.PushStatus(m_Texts.erasing);
    m_Channel.Log("Erasing FLASH.");

    port.SendByte(ERASE_CODE);
    if (!WaitOk()) {
        m_Channel.Log("ERROR: ERASE_CODE acknowledge losed");
        return false;
    }
    if (!WaitRecWait())
        return false;

    // The frame buffer is 4 KiB; keep it off the worker's stack.
    auto record = std::make_unique<ProgramRecord>();
    record->SetCommand(start, end);
    if (!SendRecord(*record))
        return false;
    if (!WaitErase())
        return false;

    m_Phase.Set(3);
    m_Channel.PushStatus(m_Texts.programming);
    m_Channel.Log("Programing.");
    m_Progress.Set(0);

    if (!image.NextRecord(*record, i)) {
        m_Channel.Log("Image read error.");
        return false;
    }
    uint64_t total = 0;
    const bool skipBlank = m_SkipBlank.load();
    while (record->dataCount != 0) {
        // Whatever the reader produced, nothing is written where the erase did not reach.
        if (!InsideErase(*record, start, end)) {
            m_Channel.PushStatus(m_Texts.frameOutside);
            LogF("ERROR: frame outside the erased range (A=0x%08" PRIX32 ",SZ=0x%04X; erased 0x%08" PRIX32
                 " to 0x%08" PRIX32 ")",
                 record->frameAddress, record->dataCount, start, end);
            return false;
        }
        if (skipBlank && IsBlankFrame(*record)) {
            m_BytesSkipped += record->dataCount;
        } else {
            if (!SendRecord(*record))
                return false;
            // The loader acknowledges the frame first and the written flash second.
            if (!WaitOk())
                return false;
            m_BytesSent += record->dataCount;
        }
        total += record->dataCount;
        SetProgress(static_cast<double>(total), static_cast<double>(section.size));
        if (!image.NextRecord(*record, i)) {
            m_Channel.Log("Image read error.");
            return false;
        }
    }
    record->SetEmpty();
    if (!SendRecord(*record))
        return false;
    if (skipBlank)
        LogF("Blank frames not sent: %" PRIu64 " bytes.", m_BytesSkipped.load());
    m_Channel.Log("FLASH Programing Complete.");
    m_Progress.Set(1000);
    return true;
}

bool CLoaderProtocol::BootReload() {
    CCommPort& port = Port();
    port.SendByte(BOOT_RELOAD);
    const uint32_t limit = static_cast<uint32_t>(port.m_TimeFactor) * m_Timings.bootReloadMs;
    const uint32_t start = TickMs();
    for (;;) {
        uint8_t b = 0;
        bool got = port.ReadByte(b);
        if (got) {
            if (b == BOOT_RELOAD) {
                m_Channel.Log("BOOT Reload enabled.");
                return true;
            }
            if (b == BAD_COMMAND) {
                m_Channel.Log("BOOT Reload command unsupported by this swload revision");
                return false;
            }
        }
        if (IsAborted())
            return false;
        uint32_t elapsed = ElapsedMs(start);
        if (elapsed >= limit) {
            m_Channel.Log("'BOOT_RELOAD' waiting time out.");
            m_Channel.Log("BOOT Reload command are unsupported by this swload revision");
            return false;
        }
        if (!got)
            WaitData(limit - elapsed);
    }
}

bool CLoaderProtocol::WaitErase() {
    CCommPort& port = Port();
    m_Phase.Set(2);
    m_Progress.Set(0);
    int sectors = 20;
    int erased = 0;
    uint32_t start = TickMs();
    for (;;) {
        uint8_t b = 0;
        if (port.ReadByte(b)) {
            if (b == OK_CODE) {
                m_Channel.Log("FLASH erasing complete.");
                m_Progress.Set(1000);
                return true;
            }
            if (b == PROGRAM_FAIL) {
                m_Channel.Log("FLASH erase failure.");
                return false;
            }
            if (b == PARAM_CODE) {
                uint8_t value = 0;
                if (ReadParam(value)) {
                    sectors = value;
                    LogF("Sectors to erase N = %i.", sectors);
                }
            } else if (b == SECTOR_ERASED) {
                ++erased;
                LogF("%i sectors erased.", erased);
                start = TickMs();
                SetProgress(erased, sectors);
            } else if (b == SIZE_EXCEEDED) {
                m_Channel.Log("Image size exceed FLASH space.");
                m_Channel.Log("FLASH erase failure.");
                return false;
            } else {
                LogF("Unknown command 0x%02X.", b);
                m_Channel.Log("FLASH erase failure.");
                return false;
            }
        }
        if (ElapsedMs(start) >= m_Timings.sectorEraseMs) {
            m_Channel.Log("'SECTOR_ERASED' waiting time out.");
            return false;
        }
        PaceRx();
        if (IsAborted())
            return false;
    }
}

bool CLoaderProtocol::SendRecord(const ProgramRecord& record) {
    const uint32_t start = TickMs();
    m_LineFault = false;
    for (;;) {
        if (SendRecordOnce(record))
            return true;
        if (IsAborted() || m_LineFault)
            return false;
        if (ElapsedMs(start) >= m_Timings.sendRecordMs) {
            m_Channel.Log("ERROR: Send Record TIMEOUT.");
            return false;
        }
    }
}

bool CLoaderProtocol::SendRecordOnce(const ProgramRecord& record) {
    CCommPort& port = Port();
    port.SendByte(OK_CODE);
    if (m_RecordWait.load() == 1 && !WaitRecWait())
        return false;

    const uint16_t length = record.length <= ProgramRecord::FRAME_SIZE ? record.length : 0;
    port.Send(record.frame, length);
    if (!WaitTxDone())
        return false;

    const uint32_t limit = m_Timings.recordAckMs;
    const uint32_t start = TickMs();
    for (;;) {
        uint8_t b = 0;
        bool got = port.ReadByte(b);
        if (got) {
            const char* rejection = nullptr;
            switch (b) {
            case OK_CODE:
                LogF("Record write succesfull (A=0x%08" PRIX32 ",SZ=0x%04X).", record.frameAddress,
                     length >= ProgramRecord::FRAME_OVERHEAD ? length - ProgramRecord::FRAME_OVERHEAD : 0);
                return true;
            case BAD_CSUM:
                rejection = "ERROR: BAD_CSUM";
                break;
            case BAD_LENGTH:
                rejection = "ERROR: BAD_LENGTH";
                break;
            case BAD_COMMAND:
                rejection = "ERROR: BAD_COMMAND";
                break;
            case RECORD_TIMEOUT:
                rejection = "ERROR: RECORD_TIMEOUT";
                break;
            case NO_REC_END:
                rejection = "ERROR: NO_REC_END";
                break;
            case PARAM_CODE:
                SkipParam();
                break;
            default:
                break;
            }
            if (rejection != nullptr) {
                m_Channel.Log(rejection);
                return false;
            }
        }
        if (IsAborted())
            return false;
        uint32_t elapsed = ElapsedMs(start);
        if (elapsed >= limit) {
            m_Channel.Log("ERROR: Record acknowledge TIMEOUT.");
            return false;
        }
        if (!got)
            WaitData(limit - elapsed);
    }
}

bool CLoaderProtocol::SendSection(ImageStream& stream, ImageSection& section) {
    section.Rewind(stream);
    m_Progress.Set(0);
    auto record = std::make_unique<ProgramRecord>();
    uint64_t total = 0;
    for (;;) {
        if (IsAborted())
            return false;
        if (!section.NextRecord(*record, stream)) {
            m_Channel.Log("Section read error");
            return false;
        }
        if (record->dataCount == 0) {
            m_Progress.Set(1000);
            return true;
        }
        if (!SendRecord(*record))
            return false;
        total += record->dataCount;
        SetProgress(static_cast<double>(total), static_cast<double>(section.size));
    }
}

bool CLoaderProtocol::RunImage(uint32_t address) {
    CCommPort& port = Port();
    LogF("Run image at address 0x%" PRIX32, address);
    char command[16];
    std::snprintf(command, sizeof command, "G%" PRIX32 "#", address);
    port.SendString(command);
    if (!WaitTxDone())
        return false;
    port.Purge();
    m_Channel.SleepMs(port.CharTimeMs(3));
    return true;
}
