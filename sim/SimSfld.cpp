#include "sim/SimSfld.h"

#include "sim/SimLoaderCodes.h"

#include <algorithm>
#include <cstdio>

namespace {
std::string Hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

uint32_t Be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
} // namespace

CSimSfld::CSimSfld(const SimOptions& opt, ISimHost& host, CSimFlash& flash)
    : m_Opt(opt), m_Host(host), m_Flash(flash) {}

void CSimSfld::Enter(SimTime now, const std::string& versionLine) {
    m_VersionLine = versionLine;
    m_Greet = Greet::Hello1;
    m_BaudStep = 0;
    m_LateBaudSkip = 0;
    m_LateBaudWindow = false;
    m_Mode = Mode::Command;
    m_Busy = Busy::None;
    m_BusyUntil = SIM_NEVER;
    m_Frame.Reset();
    m_FrameOpen = false;
    m_FrameDeadline = SIM_NEVER;
    m_FramesTaken = 0;
    m_FaultUsed = false;
    m_Stalled = false;
    m_FinishAt = SIM_NEVER;
    m_NextGreet = SimAfterMs(now, m_Opt.helloIntervalMs);
    m_Host.Event("SFLD started: " + versionLine);
}

uint32_t CSimSfld::EraseTimeMs() const {
    return m_Opt.fault == SimFault::SlowErase ? m_Opt.faultArg : m_Opt.eraseMs;
}

CSimSfld::Action CSimSfld::OnByte(uint8_t b, bool garbled, SimTime now) {
    if (m_Stalled)
        return Action::None;
    // Any byte means the host still has something to say: the completion mark waits for quiet again.
    if (m_FinishAt != SIM_NEVER)
        m_FinishAt = SimAfterMs(now, m_Opt.finishDelayMs);
    if (m_Greet != Greet::Done) {
        if (garbled) {
            m_Host.Unexpected("SFLD greeting: byte at another line rate", b);
            return Action::None;
        }
        return OnGreeting(b, now);
    }
    if (m_Frame.Busy() || (m_FrameOpen && b == '[' && !garbled)) {
        // A character with a framing error is lost; the frame comes up short.
        m_FrameDeadline = SimAfterMs(now, m_Opt.recordTimeoutMs);
        if (garbled) {
            m_Host.Unexpected("SFLD: frame byte at another line rate", b);
            return Action::None;
        }
        FrameStatus st = m_Frame.Feed(b);
        if (st == FrameStatus::Busy)
            return Action::None;
        return OnFrameEnd(st, b, now);
    }
    if (garbled) {
        // A late answer to a repeated BAUD_CODE was sent at the old speed.
        if (!m_LateBaudWindow)
            m_Host.Unexpected("SFLD: byte at another line rate", b);
        return Action::None;
    }
    if (m_LateBaudSkip > 0) {
        --m_LateBaudSkip;
        return Action::None;
    }
    if (m_Mode == Mode::Command) {
        OnCommand(b);
        return Action::None;
    }
    // Waiting for a frame: only the go-ahead counts.
    if (b == OK_CODE) {
        m_FrameOpen = true;
        Reply(REC_WAIT_CODE);
    } else {
        m_Host.Unexpected(m_Mode == Mode::EraseRange ? "SFLD: byte before the erase range frame"
                                                     : "SFLD: byte between programming frames",
                          b);
    }
    return Action::None;
}

CSimSfld::Action CSimSfld::OnGreeting(uint8_t b, SimTime now) {
    switch (m_Greet) {
    case Greet::Hello1:
        if (b == OK_CODE) {
            m_Greet = Greet::Hello2;
            m_Host.Send(HELLO_CODE);
            m_NextGreet = SimAfterMs(now, m_Opt.helloIntervalMs);
        } else {
            m_Host.Unexpected("SFLD greeting: not the answer to HELLO_CODE", b);
        }
        break;
    case Greet::Hello2:
        if (b == OK_CODE) {
            m_Greet = Greet::Baud;
            m_BaudStep = 0;
            m_Host.Send(BAUD_CODE);
            m_NextGreet = SimAfterMs(now, m_Opt.helloIntervalMs);
        } else {
            m_Host.Unexpected("SFLD greeting: not the answer to the second HELLO_CODE", b);
        }
        break;
    case Greet::Baud:
        if (m_Opt.hangupAt == SimPhase::Speed) {
            m_Host.Event("hang-up at speed");
            m_Host.HangUp();
            break;
        }
        if (m_BaudStep == 0) {
            if (b == '[')
                m_BaudStep = 1;
            else
                m_Host.Unexpected("SFLD greeting: not the answer to BAUD_CODE", b);
        } else if (m_BaudStep == 1) {
            m_BaudIndex = b;
            m_BaudStep = 2;
        } else {
            m_BaudStep = 0;
            if (b != ']' || m_BaudIndex > 9) {
                m_Host.Unexpected("SFLD greeting: speed answer refused", b);
                m_Host.Event("SFLD speed answer refused");
                break;
            }
            uint32_t rate = SIM_BAUD_RATES[m_BaudIndex];
            // Two acknowledges and the index echo still go out at the old speed.
            uint8_t reply[3] = {OK_CODE, OK_CODE, m_BaudIndex};
            m_Host.Send(reply, 3);
            m_Host.SetRate(rate);
            m_Greet = Greet::Done;
            m_NextGreet = SIM_NEVER;
            m_LateBaudWindow = true;
            m_Host.Event("SFLD speed " + std::to_string(rate));
        }
        break;
    case Greet::Done:
        break;
    }
    return Action::None;
}

void CSimSfld::SendIdentification() {
    uint32_t size = m_Opt.flashSizeReport;
    uint8_t r[9] = {FLASH_ID_CODE,
                    m_Opt.flashCfi,
                    m_Opt.flashMaker,
                    static_cast<uint8_t>(m_Opt.flashDevice >> 8),
                    static_cast<uint8_t>(m_Opt.flashDevice & 0xFF),
                    static_cast<uint8_t>(size >> 24),
                    static_cast<uint8_t>(size >> 16),
                    static_cast<uint8_t>(size >> 8),
                    static_cast<uint8_t>(size)};
    size_t data = std::clamp<uint32_t>(m_Opt.flashIdBytes, 1, 8);
    if (m_Opt.flashShortType >= 0) {
        // A short reply leads with the flash type number.
        r[1] = static_cast<uint8_t>(m_Opt.flashShortType);
        if (data == 8)
            data = 1;
    }
    m_Host.Send(r, 1 + data);
}

void CSimSfld::Reply(const uint8_t* data, size_t count) {
    if (m_Opt.fault == SimFault::ParamOutsideErase) {
        // A parameter the host has no use for; its value looks like an acknowledge.
        uint8_t param[3] = {PARAM_CODE, 0x01, OK_CODE};
        m_Host.Send(param, 3);
    }
    m_Host.Send(data, count);
}

void CSimSfld::OnCommand(uint8_t b) {
    bool lateBaud = m_LateBaudWindow;
    m_LateBaudWindow = false;
    switch (b) {
    case OK_CODE:
        Reply(OK_CODE);
        break;
    case VERSION_CODE: {
        std::string line = m_VersionLine + "\r\n";
        if (m_Opt.fault == SimFault::LateHello && !m_FaultUsed) {
            m_FaultUsed = true;
            line.insert(std::min<size_t>(m_Opt.faultArg, line.size()), 1, static_cast<char>(HELLO_CODE));
            m_Host.Event("late HELLO_CODE (fault)");
        }
        m_Host.Send(line);
        break;
    }
    case FLASH_ID_CODE:
        if (m_Opt.hangupAt == SimPhase::Identify) {
            m_Host.Event("hang-up at identify");
            m_Host.HangUp();
            break;
        }
        SendIdentification();
        break;
    case '[':
        // The host answered a BAUD_CODE repeated while its first answer was on the way.
        if (!lateBaud)
            m_Host.Unexpected("SFLD: speed answer long after the greeting", b);
        m_LateBaudSkip = 2;
        break;
    case BOOT_RELOAD:
        if (m_Opt.fault == SimFault::NoBootReload) {
            m_Host.Event("BOOT_RELOAD not answered (fault)");
        } else if (m_Opt.bootReloadGrant) {
            m_Host.Send(BOOT_RELOAD);
            m_Host.Event("boot area unlocked");
        } else {
            m_Host.Send(BAD_COMMAND);
        }
        break;
    case ERASE_CODE: {
        uint8_t r[2] = {OK_CODE, REC_WAIT_CODE};
        Reply(r, 2);
        m_Mode = Mode::EraseRange;
        m_FrameOpen = false;
        m_FinishAt = SIM_NEVER; // another section follows
        break;
    }
    default:
        m_Host.Unexpected("SFLD: unknown command", b);
        m_Host.Send(BAD_COMMAND);
        break;
    }
}

void CSimSfld::FrameError(uint8_t code, const char* what) {
    m_Host.Event(std::string("SFLD frame refused: ") + what);
    m_Host.Send(code);
    m_Host.DiscardInput();
    m_Frame.Reset();
    m_FrameOpen = false;
    m_FrameDeadline = SIM_NEVER;
}

CSimSfld::Action CSimSfld::OnFrameEnd(FrameStatus st, uint8_t last, SimTime now) {
    uint8_t refusal = 0;
    const char* refusalName = nullptr;
    if (FrameRefusal(st, refusal, refusalName)) {
        m_Host.Unexpected(std::string("SFLD frame refused: ") + refusalName, last);
        FrameError(refusal, refusalName);
        return Action::None;
    }
    m_FrameOpen = false;
    m_FrameDeadline = SIM_NEVER;
    const uint8_t* p = m_Frame.Payload();
    size_t len = m_Frame.PayloadLength();
    Action a = Action::None;
    if (m_Mode == Mode::EraseRange)
        OnEraseRange(p, len, now);
    else
        a = OnProgramFrame(p, len, now);
    m_Frame.Reset();
    return a;
}

void CSimSfld::OnEraseRange(const uint8_t* p, size_t len, SimTime now) {
    if (len != 8) {
        FrameError(BAD_LENGTH, "erase range is not two words");
        return;
    }
    uint32_t start = Be32(p), end = Be32(p + 4);
    Reply(OK_CODE);
    if (m_Opt.fault == SimFault::SizeExceeded || !m_Flash.SectorsFor(start, end, m_Sectors)) {
        m_Host.Event("erase " + Hex32(start) + ".." + Hex32(end) + " refused: SIZE_EXCEEDED");
        m_Host.Send(SIZE_EXCEEDED);
        m_Mode = Mode::Command;
        return;
    }
    uint8_t param[3] = {PARAM_CODE, ERASE_CODE, static_cast<uint8_t>(m_Sectors.size())};
    m_Host.Send(param, 3);
    m_Host.Event("erase " + Hex32(start) + ".." + Hex32(end) + ": " + std::to_string(m_Sectors.size()) +
                 " sectors");
    if (m_Opt.hangupAt == SimPhase::Erase) {
        m_Host.Event("hang-up at erase");
        m_Host.HangUp();
        return;
    }
    m_SectorsDone = 0;
    m_Busy = Busy::Erasing;
    m_BusyUntil = m_Sectors.empty() ? now : SimAfterMs(now, EraseTimeMs());
}

CSimSfld::Action CSimSfld::OnProgramFrame(const uint8_t* p, size_t len, SimTime now) {
    uint32_t number = m_FramesTaken + 1;
    if (m_Opt.hangupAt == SimPhase::Program && number == 1) {
        m_Host.Event("hang-up at program");
        m_Host.HangUp();
        return Action::None;
    }
    bool faultHere = !m_FaultUsed && number == m_Opt.faultArg;
    if (faultHere) {
        switch (m_Opt.fault) {
        case SimFault::Hangup:
            m_FaultUsed = true;
            m_Host.Event("hang-up at programming frame " + std::to_string(number));
            m_Host.HangUp();
            return Action::None;
        case SimFault::Stall:
            m_FaultUsed = true;
            m_Stalled = true;
            m_Host.Event("stalled at programming frame " + std::to_string(number));
            return Action::None;
        case SimFault::NoAck:
            m_FaultUsed = true;
            m_Host.Event("no acknowledge for programming frame " + std::to_string(number));
            return Action::None;
        case SimFault::BadCsum:
            m_FaultUsed = true;
            FrameError(BAD_CSUM, "BAD_CSUM (fault)");
            return Action::None;
        default:
            break;
        }
    }
    ++m_FramesTaken;
    Reply(OK_CODE);
    if (len == 0) {
        m_Host.Event("programming closed after " + std::to_string(m_FramesTaken - 1) + " data frames");
        m_Mode = Mode::Command;
        m_FinishAt = SimAfterMs(now, m_Opt.finishDelayMs);
        return Action::None;
    }
    m_WriteAddress = Be32(p);
    m_WriteData.assign(p + 4, p + len);
    m_Busy = Busy::Writing;
    m_BusyUntil = SimAfterMs(now, m_Opt.programMs);
    return Action::None;
}

CSimSfld::Action CSimSfld::OnTick(SimTime now) {
    if (m_Stalled)
        return Action::None;
    if (now >= m_NextGreet) {
        if (m_Greet == Greet::Hello1 || m_Greet == Greet::Hello2)
            m_Host.Send(HELLO_CODE);
        else if (m_Greet == Greet::Baud && m_BaudStep == 0)
            m_Host.Send(BAUD_CODE);
        m_NextGreet = m_Greet == Greet::Done ? SIM_NEVER : SimAfterMs(now, m_Opt.helloIntervalMs);
    }
    if (now >= m_FrameDeadline) {
        m_Host.Unexpected("SFLD: frame left unfinished", -1);
        FrameError(RECORD_TIMEOUT, "RECORD_TIMEOUT");
    }
    while (m_Busy != Busy::None && now >= m_BusyUntil) {
        if (m_Busy == Busy::Writing) {
            m_Busy = Busy::None;
            m_BusyUntil = SIM_NEVER;
            FlashResult r = m_Flash.Program(m_WriteAddress, m_WriteData.data(), m_WriteData.size());
            if (r == FlashResult::Ok && m_Opt.fault == SimFault::ProgramFailOk && !m_FaultUsed &&
                m_FramesTaken == m_Opt.faultArg) {
                m_FaultUsed = true;
                m_Host.Event("PROGRAM_FAIL before OK_CODE on frame " + std::to_string(m_FramesTaken) +
                             " (fault)");
                m_Host.Send(PROGRAM_FAIL);
                Reply(OK_CODE);
            } else if (r == FlashResult::Ok) {
                Reply(OK_CODE);
            } else {
                m_Host.Event(std::string("program ") + Hex32(m_WriteAddress) + " failed: " +
                             (r == FlashResult::NotErased ? "not erased" : "outside the flash"));
                m_Host.Send(PROGRAM_FAIL);
            }
            break;
        }
        // Erasing: one sector has just finished (or there was none to erase).
        if (m_SectorsDone < m_Sectors.size()) {
            if (m_Opt.fault == SimFault::EraseFail && m_SectorsDone + 1 == m_Opt.faultArg) {
                m_Host.Event("erase failed at sector " + std::to_string(m_SectorsDone + 1));
                m_Host.Send(PROGRAM_FAIL);
                m_Busy = Busy::None;
                m_BusyUntil = SIM_NEVER;
                m_Mode = Mode::Command;
                break;
            }
            m_Flash.EraseSector(m_Sectors[m_SectorsDone]);
            ++m_SectorsDone;
            m_Host.Send(SECTOR_ERASED);
        }
        if (m_SectorsDone < m_Sectors.size()) {
            m_BusyUntil = SimAfterMs(now, EraseTimeMs());
        } else {
            m_Host.Send(OK_CODE);
            m_Host.Event("erase complete");
            m_Busy = Busy::None;
            m_BusyUntil = SIM_NEVER;
            m_Mode = Mode::Programming;
            m_FramesTaken = 0;
        }
    }
    if (now >= m_FinishAt) {
        m_FinishAt = SIM_NEVER;
        if (m_Opt.hangupAt == SimPhase::Complete) {
            m_Host.Event("hang-up at complete");
            m_Host.HangUp();
            return Action::None;
        }
        if (m_Opt.fault == SimFault::NoComplete) {
            m_Host.Event("upload complete, no completion mark (fault)");
        } else if (m_Opt.fault == SimFault::MarkU || m_Opt.fault == SimFault::MarkUux) {
            uint8_t mark[3] = {0x55, 0x55, 'x'};
            m_Host.Send(mark, m_Opt.fault == SimFault::MarkU ? 1 : 3);
            m_Host.Event("upload complete, partial completion mark (fault)");
        } else {
            uint8_t mark[3] = {0x55, 0x55, 0x55};
            m_Host.Send(mark, 3);
            m_Host.Event("upload complete, completion mark sent");
        }
        return Action::Reboot;
    }
    return Action::None;
}

SimTime CSimSfld::Deadline() const {
    if (m_Stalled)
        return SIM_NEVER;
    return std::min({m_NextGreet, m_FrameDeadline, m_BusyUntil, m_FinishAt});
}
