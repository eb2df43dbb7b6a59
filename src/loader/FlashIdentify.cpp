// Flash identification through the first-stage loader. It only informs the log; it never fails an upload.

#include "core/Clock.h"
#include "loader/FlashCatalogue.h"
#include "loader/LoaderCodes.h"
#include "loader/LoaderProtocol.h"
#include "serial/CommPort.h"

#include <cstdio>

bool CLoaderProtocol::IdentifyFlash(char* desc, size_t descSize) {
    char scratch[FLASH_DESC_SIZE];
    if (desc == nullptr || descSize == 0) {
        desc = scratch;
        descSize = sizeof scratch;
    }
    CCommPort& port = Port();
    port.SendByte(FLASH_ID_CODE);

    constexpr int FULL_REPLY = 8;
    uint8_t data[FULL_REPLY] = {};
    int count = 0;
    bool header = false;
    uint32_t start = TickMs();
    while (count < FULL_REPLY) {
        uint8_t b = 0;
        bool got = port.ReadByte(b);
        if (got) {
            if (!header) {
                // Anything before the header (a late greeting byte, say) is not part of the reply.
                header = b == FLASH_ID_CODE;
            } else {
                data[count++] = b;
                start = TickMs();
                continue;
            }
        }
        // Checked on every other pass too, so a stream of stray bytes cannot keep the reading alive.
        if (IsAborted())
            break;
        uint32_t elapsed = ElapsedMs(start);
        if (elapsed >= m_Timings.flashIdMs)
            break;
        if (!got)
            WaitData(m_Timings.flashIdMs - elapsed);
    }

    if (count < FULL_REPLY) {
        // Older loaders answer with a type number only.
        unsigned type = count > 0 ? data[0] : 0;
        if (type >= SHORT_FLASH_TYPE_COUNT)
            type = 0;
        std::snprintf(desc, descSize, "Flash: %s", ShortFlashTypes[type]);
        return true;
    }

    const bool cfi = data[0] != 0;
    const uint8_t code = data[1];
    const uint16_t deviceId = static_cast<uint16_t>((data[2] << 8) | data[3]);
    const uint32_t size = (static_cast<uint32_t>(data[4]) << 24) | (static_cast<uint32_t>(data[5]) << 16) |
                          (static_cast<uint32_t>(data[6]) << 8) | data[7];
    const int sizeKb = static_cast<int>(size >> 10);

    LogF("VENDOR: %s", FlashVendors[VendorIndex(code)]);
    char name[FLASH_DESC_SIZE];
    if (FindChipName(code, deviceId, name, sizeof name)) {
        LogF("CHIP: %s", name);
        std::snprintf(desc, descSize, "%s", name);
    } else {
        std::snprintf(desc, descSize, "%s,mfg 0x%02X,id 0x%04X, sz %iKb", cfi ? "CFI" : "", code, deviceId,
                      sizeKb);
    }
    m_Channel.Log(cfi ? "Common Flash Interface Available" : "Common Flash Interface is not Available");
    LogF("ManufacturersCode = 0x%02X", code);
    LogF("DeviceID = 0x%04X", deviceId);
    LogF("ChipSize = %iKb", sizeKb);
    return true;
}
