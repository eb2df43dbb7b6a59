#include "ScriptReceiver.h"

#include "loader/LoaderCodes.h"

CScriptReceiver::CScriptReceiver(CScriptPort& port) : m_Port(port) {
    m_Port.SetResponder([this](CScriptPort&, uint8_t b) { OnByte(b); });
}

CScriptReceiver::~CScriptReceiver() {
    m_Port.SetResponder(nullptr);
}

std::vector<uint8_t> CScriptReceiver::FlashBytes(uint32_t address, size_t count) const {
    std::vector<uint8_t> out(count, 0xFF);
    for (auto it = flash.lower_bound(address); it != flash.end() && it->first < address + count; ++it)
        out[it->first - address] = it->second;
    return out;
}

void CScriptReceiver::Say(std::vector<uint8_t> bytes) {
    m_Port.Inject(bytes);
}

void CScriptReceiver::Event(const std::string& name) {
    if (onEvent)
        onEvent(name);
}

void CScriptReceiver::OnByte(uint8_t b) {
    // Frames are taken by their length, so payload bytes are never read as commands.
    if (m_InFrame) {
        m_Frame.push_back(b);
        if (m_Frame.size() == 3)
            m_FrameNeed = 3 + 2 * ((static_cast<size_t>(m_Frame[1]) << 8) | m_Frame[2]) + 3;
        if (m_Frame.size() >= 3 && m_Frame.size() == m_FrameNeed) {
            m_InFrame = false;
            OnFrame();
        }
        return;
    }

    if (stage == Stage::Firmware) {
        m_Text += static_cast<char>(b);
        if (m_Text.size() > 64)
            m_Text.erase(0, m_Text.size() - 64);
        if (b != OK_CODE)
            return;
        const std::string body = m_Text.substr(0, m_Text.size() - 1);
        bool loa = body.size() >= 16 && body.compare(body.size() - 16, 16, "$PQELS,PFL,LOA\r\n") == 0;
        bool ldr = body.size() >= 16 && body.compare(body.size() - 16, 16, "$PQELS,PFL,LDR\r\n") == 0;
        m_Text.clear();
        loaSeen += loa;
        ldrSeen += ldr;
        Event("sentence");
        if ((loa && answerLoa) || (ldr && answerLdr)) {
            stage = Stage::Pfld;
            Say({LOAD_CODE});
        }
        return;
    }

    if (stage == Stage::Pfld) {
        if (m_InRun) {
            if (b == '#') {
                m_InRun = false;
                runAddress = static_cast<uint32_t>(std::stoul(m_Run, nullptr, 16));
                Event("run");
            } else {
                m_Run += static_cast<char>(b);
            }
            return;
        }
        if (b == '[') {
            m_InFrame = true;
            m_Frame.assign(1, b);
            m_FrameNeed = 0;
        } else if (b == PFL_VERSION_CODE) {
            if (pfldAnswersVersion)
                Say(std::vector<uint8_t>(pfldBanner.begin(), pfldBanner.end()));
        } else if (b == 'G') {
            m_InRun = true;
            m_Run.clear();
        }
        // OK_CODE before each frame and LOAD_CODE need no answer from this loader.
        return;
    }

    // First-stage loader.
    if (m_GreetOks < 2 || m_BaudOpen || (m_GreetOks == 2 && b == '[')) {
        if (b == OK_CODE && m_GreetOks < 2) {
            ++m_GreetOks;
            Event("hello");
            if (m_GreetOks == 1) {
                for (int i = 0; i < extraHellos; ++i)
                    Say({HELLO_CODE});
            } else {
                Say({BAUD_CODE});
            }
            return;
        }
        if (b == '[' && m_GreetOks == 2) {
            m_BaudOpen = true;
            m_BaudBytes = 0;
            return;
        }
        if (m_BaudOpen) {
            if (m_BaudBytes++ == 0) {
                m_BaudIndex = b;
            } else if (b == ']') {
                m_BaudOpen = false;
                m_GreetOks = 3;
                Say({OK_CODE, OK_CODE, m_BaudIndex});
            }
        }
        return;
    }

    if (b == '[') {
        m_InFrame = true;
        m_Frame.assign(1, b);
        m_FrameNeed = 0;
        return;
    }
    switch (b) {
    case VERSION_CODE:
        Say(std::vector<uint8_t>(sfldLine.begin(), sfldLine.end()));
        break;
    case FLASH_ID_CODE:
        Say(flashIdReply);
        break;
    case BOOT_RELOAD:
        ++bootRequests;
        if (bootReply != 0)
            Say({bootReply});
        break;
    case ERASE_CODE:
        ++eraseCommands;
        m_Phase = Phase::EraseFrame;
        Event("erase");
        Say({OK_CODE, REC_WAIT_CODE});
        break;
    case OK_CODE:
        Say({m_Phase == Phase::Command ? OK_CODE : REC_WAIT_CODE});
        break;
    default:
        break;
    }
}

void CScriptReceiver::OnFrame() {
    const size_t words = (static_cast<size_t>(m_Frame[1]) << 8) | m_Frame[2];
    const size_t payload = 2 * words;
    uint16_t sum = 0;
    for (size_t i = 0; i < payload; i += 2)
        sum ^= static_cast<uint16_t>((m_Frame[3 + i] << 8) | m_Frame[4 + i]);
    const uint16_t stored = static_cast<uint16_t>((m_Frame[3 + payload] << 8) | m_Frame[4 + payload]);
    if (sum != stored) {
        Say({BAD_CSUM});
        return;
    }
    if (m_Frame.back() != ']') {
        Say({NO_REC_END});
        return;
    }
    auto word = [&](size_t at) {
        return (static_cast<uint32_t>(m_Frame[3 + at]) << 24) |
               (static_cast<uint32_t>(m_Frame[4 + at]) << 16) |
               (static_cast<uint32_t>(m_Frame[5 + at]) << 8) | m_Frame[6 + at];
    };

    if (stage == Stage::Pfld) {
        if (payload == 0) {
            ++emptyFrames;
            Say({OK_CODE});
            if (runAddress != 0) {
                stage = Stage::Sfld;
                m_GreetOks = 0;
                m_Phase = Phase::Command;
                Say({HELLO_CODE});
            }
            return;
        }
        ++pfldFrames;
        Event("pfld-frame");
        const uint32_t address = word(0);
        for (size_t i = 4; i < payload; ++i)
            ram[address + static_cast<uint32_t>(i - 4)] = m_Frame[3 + i];
        Say({OK_CODE});
        return;
    }

    if (m_Phase == Phase::EraseFrame) {
        eraseFrom = word(0);
        eraseTo = word(4);
        for (auto it = flash.lower_bound(eraseFrom); it != flash.end() && it->first < eraseTo;)
            it = flash.erase(it);
        m_Phase = Phase::Frames;
        Say({OK_CODE});
        if (!eraseReply.empty()) {
            Say(eraseReply);
            return;
        }
        Say({PARAM_CODE, ERASE_CODE, sectors});
        for (int i = 0; i < sectors; ++i)
            Say({SECTOR_ERASED});
        Say({OK_CODE});
        return;
    }

    if (payload == 0) {
        ++emptyFrames;
        m_Phase = Phase::Command;
        Say({OK_CODE});
        return;
    }

    // Data frame into the flash; the count includes a resent frame only once.
    const int number = sfldDataFrames + 1;
    if (number == rejectFrame && (rejectAlways || !m_Rejected)) {
        m_Rejected = true;
        Say({rejectCode});
        return;
    }
    if (number == silentFrame && !m_Silenced) {
        m_Silenced = true;
        return;
    }
    ++sfldDataFrames;
    Event("sfld-frame");
    const uint32_t address = word(0);
    for (size_t i = 4; i < payload; ++i)
        flash[address + static_cast<uint32_t>(i - 4)] = m_Frame[3 + i];
    Say({OK_CODE, OK_CODE});
}
