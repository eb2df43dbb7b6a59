#include "sim/SimFirmware.h"

#include <cctype>
#include <cstdio>

namespace {
// Main firmware starts 0x8000 into the flash; its version is 4 characters at 1024 + 52.
const uint32_t FW_VERSION_ADDRESS = SIM_FLASH_BASE + 0x8000 + 1024 + 52;
} // namespace

CSimFirmware::CSimFirmware(const SimOptions& opt, ISimHost& host, const CSimFlash& flash)
    : m_Opt(opt), m_Host(host), m_Flash(flash) {}

std::string CSimFirmware::Version() const {
    if (m_Swapped && !m_Opt.swapVersion.empty())
        return m_Opt.swapVersion;
    if (m_AfterUpload && !m_Opt.rebootVersion.empty())
        return m_Opt.rebootVersion;
    std::string v;
    for (uint32_t i = 0; i < 4; ++i) {
        uint8_t c = m_Flash.At(FW_VERSION_ADDRESS + i);
        if (!std::isalnum(c))
            return m_Opt.version;
        v.push_back(static_cast<char>(c));
    }
    return v;
}

std::string CSimFirmware::Serial() const {
    if (m_Swapped)
        return m_Opt.swapSerial;
    return m_AfterUpload && !m_Opt.rebootSerial.empty() ? m_Opt.rebootSerial : m_Opt.serial;
}

std::string CSimFirmware::Model() const {
    return m_Swapped ? m_Opt.swapModel : m_Opt.model;
}

std::string CSimFirmware::Type() const {
    return m_Swapped && m_Opt.swapModel.size() == 4 ? m_Opt.swapModel : m_Opt.type;
}

void CSimFirmware::Swap(const std::string& when) {
    if (m_Swapped || m_Opt.swapModel.empty())
        return;
    m_Swapped = true;
    m_Host.Event("receiver swapped " + when + ": " + m_Opt.swapModel + " " + m_Opt.swapSerial +
                 " answers now");
}

std::string CSimFirmware::Options() const {
    return m_AfterUpload && !m_Opt.rebootOptions.empty() ? m_Opt.rebootOptions : m_Opt.options;
}

void CSimFirmware::Enter(SimTime now, bool afterUpload) {
    m_AfterUpload = afterUpload;
    m_Host.SetRate(m_Opt.fwBaud);
    m_Sentence.Reset();
    m_LoaderPending = false;
    m_GoAheadDue = false;
    m_LoaderAsked = false;
    m_Mute = false;
    m_NextNmea = m_Opt.nmeaNoiseMs ? SimAfterMs(now, m_Opt.nmeaNoiseMs) : SIM_NEVER;
    bool noise = m_Opt.fault == SimFault::Noise || m_Opt.fault == SimFault::NoiseAny;
    m_NextNoise = noise ? SimAfterMs(now, m_Opt.faultArg) : SIM_NEVER;
    m_Host.Event("firmware running, version " + Version());
}

CSimFirmware::Action CSimFirmware::OnByte(uint8_t b, bool garbled, SimTime) {
    bool goAhead = m_GoAheadDue;
    m_GoAheadDue = false;
    if (garbled) {
        // A character with a framing error breaks whatever sentence was on its way.
        m_Host.Unexpected("firmware: byte at another line rate", b);
        m_Sentence.Reset();
        m_LoaderPending = false;
        return Action::None;
    }
    if (m_LoaderPending) {
        m_LoaderPending = false;
        if (b == 0x55) {
            m_Host.Event("loader-mode request accepted");
            return Action::EnterLoader;
        }
    }
    if (!m_Sentence.Active() && b != '$') {
        // Outside sentences the host has only two reasons to send a byte: the go-ahead right after a
        // loader-mode sentence, and the loader's version query once its loader-mode attempts ran out.
        if (!(b == 0x55 && goAhead) && !(b == 'E' && m_LoaderAsked))
            m_Host.Unexpected("firmware: byte outside a sentence", b);
        return Action::None;
    }
    if (m_Sentence.Active() && b == '$')
        m_Host.Unexpected("firmware: sentence broken off by '$'", b);
    if (m_Sentence.Feed(b))
        OnSentence(m_Sentence.Text());
    else if (!m_Sentence.Active())
        m_Host.Unexpected("firmware: sentence longer than 128 bytes", b);
    return Action::None;
}

void CSimFirmware::OnSentence(const std::string& s) {
    bool query = s == "$PQELQ,RID\r\n" || s == "$PQELQ,RIO\r\n";
    if (s == "$PQELQ,RID\r\n" && m_Opt.fault == SimFault::HangupQuery && ++m_RidQueries == m_Opt.faultArg) {
        m_Host.HangUp();
    } else if (s == "$PQELQ,RID\r\n" && m_UploadAnnounced && m_Opt.hangupAt == SimPhase::Check) {
        m_Host.Event("hang-up at check");
        m_Host.HangUp();
    } else if (query && m_Mute) {
        m_Host.Event("query not answered (fault mute-after-upl)");
    } else if (s == "$PQELQ,RID\r\n") {
        SendSentence(NmeaSentence("PQELR,RID," + Type() + "," + Version()));
    } else if (s == "$PQELQ,RIO\r\n") {
        if (m_Opt.rioNak)
            SendSentence(NmeaSentence("PQELR,NAK"));
        else
            SendSentence(
                NmeaSentence("PQELR,RIO," + Model() + "," + Version() + ",0," + Options() + "," + Serial()));
    } else if (s == "$PQELS,PFL,UPL\r\n") {
        m_Host.Event("upload announced");
        m_UploadAnnounced = true;
        if (m_Opt.swapAt == SimSwapAt::Upl)
            Swap("on the upload sentence");
        if (m_Opt.fault == SimFault::MuteAfterUpl)
            m_Mute = true;
    } else if (s == "$PQELS,PFL,LOA\r\n") {
        m_GoAheadDue = m_LoaderAsked = true;
        if (m_Opt.fault == SimFault::LdrOnly)
            m_Host.Event("LOA ignored (fault ldr-only)");
        else
            m_LoaderPending = true;
    } else if (s == "$PQELS,PFL,LDR\r\n") {
        m_GoAheadDue = m_LoaderAsked = true;
        m_LoaderPending = true;
    } else {
        m_Host.Unexpected("firmware: unknown sentence " + s.substr(0, s.size() - 2), '\n');
    }
}

uint8_t CSimFirmware::NoiseByte() {
    // Half of the noise is made of the bytes that mean something to a host: sentence start and end, the
    // loader's answer and the go-ahead.
    static const uint8_t MEANINGFUL[] = {'$', 'D', 0x55, '\r', '\n'};
    uint32_t r = m_Random();
    if (r & 1)
        return MEANINGFUL[(r >> 1) % sizeof MEANINGFUL];
    return static_cast<uint8_t>(r >> 8);
}

void CSimFirmware::SendSentence(std::string text) {
    if (m_Opt.fault == SimFault::NoiseAny && text.size() > 2 && m_Random() % 3 == 0) {
        // Noise on the line does not wait for the end of a sentence (one sentence in three is hit).
        size_t at = 1 + m_Random() % (text.size() - 2);
        size_t count = 1 + m_Random() % 3;
        for (size_t i = 0; i < count; ++i)
            text.insert(text.begin() + static_cast<long>(at), static_cast<char>(NoiseByte()));
    }
    m_Host.Send(text);
}

void CSimFirmware::OnTick(SimTime now) {
    if (now >= m_NextNmea) {
        if (m_Host.OutputIdle()) {
            ++m_NmeaCount;
            char body[96];
            std::snprintf(body, sizeof body,
                          "GPGGA,%02u%02u%02u.00,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,",
                          (m_NmeaCount / 3600) % 24, (m_NmeaCount / 60) % 60, m_NmeaCount % 60);
            SendSentence(NmeaSentence(body));
            m_NextNmea = SimAfterMs(now, m_Opt.nmeaNoiseMs);
        } else {
            m_NextNmea = SimAfterMs(now, 2);
        }
    }
    if (now >= m_NextNoise) {
        // Plain noise: only between sentences, and never a byte that means something to the host at this
        // stage. noise-any also breaks into the sentences (SendSentence) and uses such bytes.
        if (m_Host.OutputIdle()) {
            int count = 1 + static_cast<int>(m_Random() % 6);
            for (int i = 0; i < count; ++i) {
                uint8_t b;
                if (m_Opt.fault == SimFault::NoiseAny)
                    b = NoiseByte();
                else
                    do {
                        b = static_cast<uint8_t>(m_Random() & 0xFF);
                    } while (b == '$' || b == 'D' || b == 0x55 || b == '\r' || b == '\n');
                m_Host.Send(b);
            }
            m_NextNoise = SimAfterMs(now, m_Opt.faultArg);
        } else {
            m_NextNoise = SimAfterMs(now, 2);
        }
    }
}

SimTime CSimFirmware::Deadline() const {
    return std::min(m_NextNmea, m_NextNoise);
}
