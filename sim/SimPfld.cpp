#include "sim/SimPfld.h"

#include "sim/SimLoaderCodes.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {
const char* PFLD_BANNER = "$VER,PFLD_Pellar2v";
const uint32_t PFL_VERSION_LOW = SIM_FLASH_BASE + 56;

std::string Hex32(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}
} // namespace

std::string FindLoaderVersion(const std::vector<uint8_t>& bytes) {
    // The mark itself must lie in the first 4096 bytes; the text may run on past them.
    size_t n = std::min<size_t>(bytes.size(), 4096);
    for (size_t i = 0; i + 5 <= n; ++i) {
        if (std::memcmp(bytes.data() + i, "$VER,", 5) != 0)
            continue;
        std::string text;
        for (size_t j = i; j < bytes.size() && j - i < 255; ++j) {
            uint8_t c = bytes[j];
            if (c == '\r' || c == '\n' || c == 0)
                break;
            text.push_back(static_cast<char>(c));
        }
        return text;
    }
    return {};
}

CSimPfld::CSimPfld(const SimOptions& opt, ISimHost& host, const CSimFlash& flash)
    : m_Opt(opt), m_Host(host), m_Flash(flash) {}

std::string CSimPfld::Version() const {
    uint8_t lo = m_Flash.At(PFL_VERSION_LOW);
    uint8_t hi = m_Flash.At(PFL_VERSION_LOW + 1);
    if (lo == 0xFF && hi == 0xFF)
        return m_Opt.pfldVersion;
    char buf[16];
    std::snprintf(buf, sizeof buf, "%X.%X", hi, lo);
    return buf;
}

void CSimPfld::Enter(SimTime, bool announce) {
    m_Host.SetRate(m_Opt.pfldBaud);
    m_Frame.Reset();
    m_Sentence.Reset();
    m_LoadMode = false;
    m_FrameOpen = false;
    m_LoaderPending = false;
    m_LinkOn = announce;
    m_RunCollecting = false;
    m_RunSet = false;
    m_Frames = 0;
    m_FrameDeadline = SIM_NEVER;
    m_Host.Event("PFLD running, version " + Version());
    if (announce)
        m_Host.Send(LOAD_CODE);
}

void CSimPfld::FrameError(uint8_t code, const char* what) {
    m_Host.Event(std::string("PFLD frame refused: ") + what);
    m_Host.Send(code);
    m_Host.DiscardInput();
    m_Frame.Reset();
    m_FrameOpen = false;
    m_FrameDeadline = SIM_NEVER;
}

void CSimPfld::OnSentence(const std::string& s) {
    bool query = s == "$PQELQ,RID\r\n" || s == "$PQELQ,RIO\r\n" || s == "$PQELS,PFL,UPL\r\n";
    if (query && m_LinkOn) {
        // Once the host has begun the loader link it alone talks; a query here comes from something else
        // on the host's side and lands among the loader's bytes.
        m_Host.Unexpected("PFLD link: sentence " + s.substr(0, s.size() - 2), '\n');
    }
    if (s == "$PQELS,PFL,LOA\r\n" || s == "$PQELS,PFL,LDR\r\n") {
        m_LoaderPending = true;
    } else if (s == "$PQELQ,RID\r\n") {
        unsigned major = 0, minor = 0;
        std::sscanf(Version().c_str(), "%u.%u", &major, &minor);
        char body[48];
        std::snprintf(body, sizeof body, "PQELR,RID,PFLD,%02u%02u", major % 100, minor % 100);
        m_Host.Send(NmeaSentence(body));
    } else if (s == "$PQELQ,RIO\r\n") {
        m_Host.Send(NmeaSentence("PQELR,NAK"));
    } else if (!query) {
        m_Host.Unexpected("PFLD: unknown sentence " + s.substr(0, s.size() - 2), '\n');
    }
}

CSimPfld::Action CSimPfld::OnByte(uint8_t b, bool garbled, SimTime now) {
    if (garbled) {
        m_Host.Unexpected("PFLD: byte at another line rate", b);
        m_Sentence.Reset();
        m_RunCollecting = false;
        m_LoaderPending = false;
        if (m_Frame.Busy())
            m_FrameDeadline = SimAfterMs(now, m_Opt.recordTimeoutMs);
        return Action::None;
    }
    if (m_Frame.Busy() || (m_FrameOpen && b == '[')) {
        if (m_Opt.hangupAt == SimPhase::Load) {
            m_Host.Event("hang-up at load");
            m_Host.HangUp();
            return Action::None;
        }
        FrameStatus st = m_Frame.Feed(b);
        m_FrameDeadline = SimAfterMs(now, m_Opt.recordTimeoutMs);
        if (st == FrameStatus::Busy)
            return Action::None;
        return OnFrameEnd(st, b);
    }
    if (m_Sentence.Active() || b == '$') {
        if (m_Sentence.Active() && b == '$')
            m_Host.Unexpected("PFLD: sentence broken off by '$'", b);
        if (m_Sentence.Feed(b))
            OnSentence(m_Sentence.Text());
        else if (!m_Sentence.Active())
            m_Host.Unexpected("PFLD: sentence longer than 128 bytes", b);
        return Action::None;
    }
    if (m_RunCollecting) {
        if (b == '#') {
            m_RunCollecting = false;
            if (!m_RunText.empty()) {
                m_RunAddress = static_cast<uint32_t>(std::stoul(m_RunText, nullptr, 16));
                m_RunSet = true;
                m_Host.Event("run address " + Hex32(m_RunAddress));
            } else {
                m_Host.Unexpected("PFLD: run command without an address", b);
            }
            return Action::None;
        }
        if (std::isxdigit(b) && m_RunText.size() < 8) {
            m_RunText.push_back(static_cast<char>(b));
            return Action::None;
        }
        m_RunCollecting = false;
        m_Host.Unexpected("PFLD: run command broken off", b);
        // falls through: the byte is looked at on its own
    }
    bool pending = m_LoaderPending;
    m_LoaderPending = false;
    switch (b) {
    case OK_CODE:
        if (pending) {
            m_LinkOn = true;
            m_Host.Send(LOAD_CODE);
        } else if (m_LoadMode) {
            m_FrameOpen = true;
            if (m_Opt.pfldRecordWait)
                m_Host.Send(REC_WAIT_CODE);
        } else {
            m_Host.Unexpected("PFLD: go-ahead before LOAD_CODE", b);
        }
        break;
    case PFL_VERSION_CODE:
        m_LinkOn = true;
        m_Host.Send(std::string(PFLD_BANNER) + Version() + "\r\n");
        break;
    case LOAD_CODE:
        m_LinkOn = true;
        m_LoadMode = true;
        break;
    case 'G':
        if (!m_LoadMode)
            m_Host.Unexpected("PFLD: run command before LOAD_CODE", b);
        m_RunCollecting = true;
        m_RunText.clear();
        break;
    default:
        m_Host.Unexpected(m_LoadMode ? "PFLD: byte outside a frame" : "PFLD: byte outside the link", b);
        break;
    }
    return Action::None;
}

CSimPfld::Action CSimPfld::OnFrameEnd(FrameStatus st, uint8_t last) {
    uint8_t refusal = 0;
    const char* refusalName = nullptr;
    if (FrameRefusal(st, refusal, refusalName)) {
        m_Host.Unexpected(std::string("PFLD frame refused: ") + refusalName, last);
        FrameError(refusal, refusalName);
        return Action::None;
    }
    const uint8_t* p = m_Frame.Payload();
    size_t len = m_Frame.PayloadLength();
    m_Frame.Reset();
    m_FrameOpen = false;
    m_FrameDeadline = SIM_NEVER;
    if (len == 0) {
        m_Host.Send(OK_CODE);
        m_Host.Event("PFLD empty frame after " + std::to_string(m_Frames) + " frames");
        if (!m_RunSet)
            return Action::None;
        m_RunSet = false;
        m_SfldVersion = FindLoaderVersion(m_Ram.Read(m_RunAddress, 4096 + 255));
        if (m_SfldVersion.empty()) {
            m_Host.Event("no first-stage loader at " + Hex32(m_RunAddress) + ": not started");
            return Action::None;
        }
        return Action::StartSfld;
    }
    uint32_t addr = (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
    if (!m_Ram.Write(addr, p + 4, len - 4)) {
        m_Host.Event("PFLD frame outside RAM at " + Hex32(addr));
        m_Host.Send(BAD_COMMAND);
        return Action::None;
    }
    ++m_Frames;
    m_Host.Send(OK_CODE);
    return Action::None;
}

CSimPfld::Action CSimPfld::OnTick(SimTime now) {
    if (now >= m_FrameDeadline) {
        m_Host.Unexpected("PFLD: frame left unfinished", -1);
        FrameError(RECORD_TIMEOUT, "RECORD_TIMEOUT");
    }
    return Action::None;
}

SimTime CSimPfld::Deadline() const {
    return m_FrameDeadline;
}
