// The byte link with both loaders: abort test, acknowledge waits, the first-stage loader's greeting and
// speed agreement, and its version line.

#include "core/Clock.h"
#include "loader/LoaderCodes.h"
#include "loader/LoaderProtocol.h"
#include "serial/CommPort.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace {
// Stands in for a missing port: reads nothing, sends nothing, so every wait simply runs out.
CCommPort g_NoPort;
} // namespace

CLoaderProtocol::CLoaderProtocol(CChannel& channel, CCommPort* port, CImageFile& image,
                                 const std::string& programDir)
    : m_Channel(channel), m_Image(image), m_Port(port), m_ProgramDir(programDir) {}

CCommPort& CLoaderProtocol::Port() {
    CCommPort* port = m_Port.load();
    return port != nullptr ? *port : g_NoPort;
}

void CLoaderProtocol::WaitData(uint32_t remainingMs) {
    uint32_t slice = std::min(remainingMs, std::max<uint32_t>(m_Timings.waitSliceMs, 1));
    if (slice > 0)
        Port().WaitRx(slice);
}

void CLoaderProtocol::LogF(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int needed = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (needed >= static_cast<int>(sizeof text)) {
        // Long paths: format again into a buffer that fits.
        std::string longer(static_cast<size_t>(needed) + 1, '\0');
        std::vsnprintf(longer.data(), longer.size(), format, again);
        longer.resize(static_cast<size_t>(needed));
        va_end(again);
        m_Channel.Log(longer);
        return;
    }
    va_end(again);
    m_Channel.Log(needed < 0 ? "" : text);
}

void CLoaderProtocol::SetProgress(double done, double total) {
    // A total of 0 has no meaningful share: show nothing until the step reports completion itself.
    double value = total > 0 ? done * 1000.0 / total + 0.5 : 0.0;
    value = std::clamp(value, 0.0, 1000.0);
    m_Progress.Set(static_cast<int16_t>(value));
}

void CLoaderProtocol::PaceRx() {
    if (m_Timings.paceMs > 0)
        Port().WaitRx(m_Timings.paceMs);
}

bool CLoaderProtocol::WaitTxDone() {
    CCommPort& port = Port();
    const uint32_t start = TickMs();
    uint32_t limit = 0;
    bool first = true;
    while (!port.IsTxDone()) {
        if (IsAborted())
            return false;
        if (!port.IsOpen())
            break;
        const int queued = port.TxQueued();
        // The bytes need their line time; on top of it an adapter gets a margin, then it counts as stuck.
        if (first)
            limit = (queued > 0 ? static_cast<uint32_t>(port.CharTimeMs(queued)) : 0) + m_Timings.txDrainMs;
        first = false;
        const uint32_t elapsed = ElapsedMs(start);
        if (elapsed >= limit) {
            LogF("ERROR: serial output not drained, %d bytes still queued after %u ms.", queued, elapsed);
            m_LineFault = true;
            return false;
        }
        // Wait about the line time of what is still queued, then look again in millisecond steps.
        uint32_t pause = queued > 0 ? static_cast<uint32_t>(port.CharTimeMs(queued)) : 1;
        pause = std::min(pause, limit - elapsed);
        while (pause > 0) {
            const uint32_t slice = std::min(pause, std::max<uint32_t>(m_Timings.waitSliceMs, 1));
            m_Channel.SleepMs(slice);
            pause -= slice;
            if (IsAborted())
                return false;
        }
    }
    return true;
}

bool CLoaderProtocol::IsAborted() {
    return m_Channel.StopRequested() || m_Cancel.Get() != 0 || PortGone();
}

void CLoaderProtocol::WatchPort() {
    CCommPort& port = Port();
    m_WatchedOpenCount.store(port.OpenCount());
    m_PortGone.store(false);
    m_Watching.store(true);
}

bool CLoaderProtocol::PortGone() {
    if (m_PortGone.load())
        return true;
    if (!m_Watching.load())
        return false;
    CCommPort& port = Port();
    // A port opened again meanwhile may lead to another device: the receiver spoken to so far is gone.
    if (!port.HungUp() && port.IsOpen() != 0 && port.OpenCount() == m_WatchedOpenCount.load())
        return false;
    if (!m_PortGone.exchange(true))
        m_Channel.Log(PORT_GONE_TEXT);
    return true;
}

bool CLoaderProtocol::PauseUnlessAborted(uint32_t ms) {
    const uint32_t slice = std::max<uint32_t>(m_Timings.waitSliceMs, 1);
    while (ms > 0) {
        if (IsAborted())
            return false;
        const uint32_t step = std::min(ms, slice);
        m_Channel.SleepMs(step);
        ms -= step;
    }
    return !IsAborted();
}

bool CLoaderProtocol::WaitOk() {
    CCommPort& port = Port();
    const uint32_t limit = m_Timings.okWaitMs;
    const uint32_t start = TickMs();
    for (;;) {
        uint8_t b = 0;
        bool got = port.ReadByte(b);
        if (got) {
            if (b == OK_CODE)
                return true;
            if (b == PARAM_CODE)
                SkipParam();
            else if (b == PROGRAM_FAIL)
                m_Channel.Log("'PROGRAM_FAIL' msg received.");
        }
        if (IsAborted())
            return false;
        uint32_t elapsed = ElapsedMs(start);
        if (elapsed >= limit) {
            m_Channel.Log("'OK_CODE' waiting time out.");
            return false;
        }
        if (!got)
            WaitData(limit - elapsed);
    }
}

bool CLoaderProtocol::WaitRecWait() {
    CCommPort& port = Port();
    const uint32_t limit = m_Timings.recWaitMs;
    const uint32_t start = TickMs();
    for (;;) {
        uint8_t b = 0;
        bool got = port.ReadByte(b);
        if (got) {
            if (b == REC_WAIT_CODE)
                return true;
            if (b == PARAM_CODE)
                SkipParam();
        }
        if (IsAborted())
            return false;
        uint32_t elapsed = ElapsedMs(start);
        if (elapsed >= limit) {
            m_Channel.Log("'REC_WAIT_CODE' waiting time out.");
            return false;
        }
        if (!got)
            WaitData(limit - elapsed);
    }
}

// Both parameter readers take the tag and the value under one limit and log nothing.
bool CLoaderProtocol::SkipParam() {
    uint8_t pair[2] = {0, 0};
    CCommPort& port = Port();
    const uint32_t limit = m_Timings.paramMs;
    const uint32_t start = TickMs();
    int have = 0;
    for (;;) {
        bool got = port.ReadByte(pair[have]);
        if (got && ++have == 2)
            return true;
        if (IsAborted())
            return false;
        uint32_t elapsed = ElapsedMs(start);
        if (elapsed >= limit)
            return false;
        if (!got)
            WaitData(limit - elapsed);
    }
}

bool CLoaderProtocol::ReadParam(uint8_t& value) {
    uint8_t pair[2] = {0, 0};
    CCommPort& port = Port();
    const uint32_t limit = m_Timings.paramMs;
    const uint32_t start = TickMs();
    int have = 0;
    for (;;) {
        bool got = port.ReadByte(pair[have]);
        if (got && ++have == 2) {
            if (pair[0] != ERASE_CODE)
                return false;
            value = pair[1];
            return true;
        }
        if (IsAborted())
            return false;
        uint32_t elapsed = ElapsedMs(start);
        if (elapsed >= limit)
            return false;
        if (!got)
            WaitData(limit - elapsed);
    }
}

bool CLoaderProtocol::ConnectSfld() {
    CCommPort& port = Port();
    m_Channel.Log("Connect SFLD");

    // The loader has just been started and greets until it is answered.
    uint32_t start = TickMs();
    for (;;) {
        uint8_t b = 0;
        if (port.ReadByte(b) && b == HELLO_CODE)
            break;
        if (ElapsedMs(start) >= m_Timings.helloMs)
            return false;
        // Shutdown or cancel must not sit out the whole greeting limit.
        if (IsAborted())
            return false;
        PaceRx();
    }

    m_Channel.Log("SFLD hello first");
    m_Channel.Log("send OK_CODE");
    m_Channel.SleepMs(port.CharTimeMs(3));
    port.SendByte(OK_CODE);
    m_Channel.SleepMs(port.CharTimeMs(10));

    const uint8_t baud = m_SfldBaud.load();
    bool helloAnswered = false;
    int okCount = 0;
    start = TickMs();
    for (;;) {
        uint8_t b = 0;
        if (port.ReadByte(b)) {
            if (b == HELLO_CODE) {
                if (!helloAnswered) {
                    m_Channel.Log("SFLD hello");
                    m_Channel.Log("send OK_CODE");
                    m_Channel.SleepMs(port.CharTimeMs(3));
                    port.SendByte(OK_CODE);
                    m_Channel.SleepMs(port.CharTimeMs(10));
                    helloAnswered = true;
                }
            } else if (b == BAUD_CODE) {
                if (helloAnswered) {
                    m_Channel.Log("Wait for baud");
                    port.SendByte(BAUD_OPEN);
                    port.SendByte(baud);
                    port.SendByte(BAUD_CLOSE);
                }
            } else if (b == OK_CODE) {
                m_Channel.Log("SFLD ok");
                ++okCount;
            }
            if (b == baud && okCount == 2) {
                port.SetBaudIndex(baud);
                LogF("Baud rate - %i", static_cast<int>(baud));
                m_Channel.Log("SFLD Connected");
                return true;
            }
        }
        if (ElapsedMs(start) >= m_Timings.handshakeMs || IsAborted())
            return false;
        PaceRx();
    }
}

void CLoaderProtocol::ReadSfldVersion() {
    CCommPort& port = Port();
    port.Purge();
    port.SendByte(VERSION_CODE);
    m_SfldVersion.Set(std::string());
    std::string text;
    bool started = false;
    const uint32_t limit = m_Timings.sfldVersionMs;
    const uint32_t start = TickMs();
    for (;;) {
        uint8_t b = 0;
        bool got = port.ReadByte(b);
        bool ended = false;
        if (got) {
            if (b == '$') {
                started = true;
                if (text.size() < VERSION_TEXT_MAX)
                    text += static_cast<char>(b);
            } else if (started) {
                if (b == '\r' || b == '\n')
                    ended = true;
                else if (text.size() < VERSION_TEXT_MAX)
                    text += static_cast<char>(b);
            }
            // The loader was still greeting when the question went out: ask again.
            if (b == HELLO_CODE)
                port.SendByte(VERSION_CODE);
        }
        if (ended)
            break;
        if (IsAborted()) {
            m_SfldVersion.Set(text);
            return;
        }
        uint32_t elapsed = ElapsedMs(start);
        if (elapsed >= limit)
            break;
        if (!got)
            WaitData(limit - elapsed);
    }
    m_SfldVersion.Set(text);
    LogF("SFLD Version ID: %s", text.c_str());
}
