#include "ReceiverCheck.h"

#include "core/Clock.h"

#include <cstdio>
#include <cstring>

namespace {

const char RID_QUERY[] = "$PQELQ,RID\r\n";
const char RIO_QUERY[] = "$PQELQ,RIO\r\n";

// Copies at most count characters of from (stopping at its end) into a terminated text.
void CopyField(char (&to)[CReceiverCheck::TEXT_SIZE], const char* from, size_t count) {
    if (count >= CReceiverCheck::TEXT_SIZE)
        count = CReceiverCheck::TEXT_SIZE - 1;
    size_t n = strnlen(from, count);
    std::memcpy(to, from, n);
    to[n] = 0;
}

} // namespace

CReceiverCheck::CReceiverCheck(CChannel& channel) : m_Channel(channel) {}

void CReceiverCheck::RequestCheck() {
    if (m_LineHeld.load())
        return;
    m_CheckRunning.Set(1);
    m_Wake.Pulse();
}

bool CReceiverCheck::HoldLine(uint32_t limitMs) {
    std::unique_lock<std::mutex> lock(m_LineLock);
    m_LineHeld.store(true);
    // The check's queries and its sentence reader would mix with the loader protocol on the same line.
    return m_LineFree.wait_for(lock, std::chrono::milliseconds(limitMs), [this] { return !m_Checking; });
}

void CReceiverCheck::ReleaseLine() {
    std::lock_guard<std::mutex> lock(m_LineLock);
    m_LineHeld.store(false);
}

void CReceiverCheck::CheckLoop() {
    while (!m_Channel.StopRequested()) {
        m_Wake.WaitFor(m_Timing.idleWaitMs);
        if (m_CheckRunning.Get() == 0)
            continue;
        if (m_Channel.StopRequested())
            break;
        {
            std::lock_guard<std::mutex> lock(m_LineLock);
            if (m_LineHeld.load()) {
                // A request that slipped in while the upload job holds the line is refused.
                m_CheckRunning.Set(0);
                continue;
            }
            m_Checking = true;
        }
        RunCheck();
        {
            std::lock_guard<std::mutex> lock(m_LineLock);
            m_Checking = false;
        }
        m_LineFree.notify_all();
    }
}

bool CReceiverCheck::CheckExpired(uint32_t start) const {
    return ElapsedMs(start) >= m_Timing.checkLimitMs;
}

void CReceiverCheck::RunCheck() {
    char line[64];
    Sentence sentence = {};

    m_CheckRunning.Set(1);
    ClearTexts();
    Publish();
    m_Channel.Log("Check receiver");
    m_Identified.Set(0);

    const uint32_t start = TickMs();
    std::snprintf(line, sizeof line, "time start %u", start);
    m_Channel.Log(line);

    for (;;) {
        if (CheckExpired(start)) {
            m_Channel.Log("timeout");
            std::snprintf(line, sizeof line, "time %u", TickMs());
            m_Channel.Log(line);
            break;
        }
        if (m_Identified.Get() == 1) {
            // Ended by another thread: finished all the same, or the worker would start over on its next
            // wake.
            m_Channel.Log("receiver checked");
            m_CheckRunning.Set(0);
            break;
        }
        // Shutdown and the upload job taking the line end a check at once instead of after its limit.
        if (m_Channel.StopRequested() || Yielding())
            break;

        CCommPort* port = Port();
        if (port == nullptr || port->IsOpen() == 0) {
            m_Channel.Log("fOpen sleep");
            m_Channel.SleepMs(m_Timing.closedPortSleepMs);
            continue;
        }

        m_Channel.Log("send command");
        port->SendString(RID_QUERY);
        if (!ReadSentence(sentence))
            continue;

        char payload[TEXT_SIZE] = {};
        if (std::sscanf(sentence, "PQELR,RID,%127s*", payload) != 1 || !SentenceChecksumOk(sentence)) {
            std::memset(sentence, 0, sizeof sentence);
            ClearTexts();
            Publish();
            continue;
        }

        // Payload "TTTT,VVVV*CS": type, one separator, version.
        CopyField(m_Model, payload, TEXT_SIZE);
        if (std::strlen(m_Model) > 5)
            CopyField(m_Version, m_Model + 5, 4);
        else
            m_Version[0] = 0;
        m_Model[4] = 0;

        if (std::strcmp(m_Model, "PFLD") == 0) {
            // The receiver sits in its programming loader: there are no options to ask for.
            ConvertVersion(m_Version);
            Publish();
            m_Identified.Set(1);
            m_CheckRunning.Set(0);
            break;
        }

        Publish();
        m_Channel.Log("1");
        // Identified here: ended without going round again, which would take this result for another
        // thread's and clear a check requested since.
        if (OptionsLoop(start, sentence)) {
            m_Channel.Log("receiver checked");
            return;
        }
    }

    if (m_Identified.Get() == 0) {
        m_Identified.Set(0);
        m_CheckRunning.Set(0);
    }
}

bool CReceiverCheck::OptionsLoop(uint32_t start, Sentence& sentence) {
    for (;;) {
        if (CheckExpired(start) || m_Identified.Get() == 1 || m_Channel.StopRequested() || Yielding())
            return false;
        CCommPort* port = Port();
        if (port != nullptr)
            port->SendString(RIO_QUERY);
        std::memset(sentence, 0, sizeof(Sentence));
        m_Channel.Log("2");
        if (!ReadSentence(sentence))
            continue;
        m_Channel.Log("3");

        // The payload is taken apart only once the whole sentence has proved sound, so a corrupt reply
        // never replaces the type learned from the identification reply.
        char payload[TEXT_SIZE] = {};
        if (std::sscanf(sentence, "PQELR,RIO,%127s*", payload) == 1 && SentenceChecksumOk(sentence)) {
            m_Channel.Log("4");
            if (SplitOptions(payload)) {
                Publish();
                m_Identified.Set(1);
                m_CheckRunning.Set(0);
                return true;
            }
            Publish();
            return false;
        }
        // A refusal identifies the receiver too, so it has to prove sound like any other reply.
        char rest[TEXT_SIZE];
        if (std::sscanf(sentence, "PQELR,NAK*%127s", rest) == 1 && SentenceChecksumOk(sentence)) {
            // The receiver does not know the options query: type and version stay.
            ConvertVersion(m_Version);
            Publish();
            m_Identified.Set(1);
            m_CheckRunning.Set(0);
            return true;
        }
    }
}

bool CReceiverCheck::SplitOptions(const char* payload) {
    // "model,version,unused,options,serial*CS"; texts written before a missing separator stay.
    CopyField(m_Model, payload, TEXT_SIZE);
    const char* c1 = std::strchr(payload, ',');
    if (c1 == nullptr)
        return false;
    CopyField(m_Model, payload, static_cast<size_t>(c1 - payload));
    const char* c2 = std::strchr(c1 + 1, ',');
    if (c2 == nullptr)
        return false;
    CopyField(m_Version, c1 + 1, static_cast<size_t>(c2 - c1 - 1));
    const char* c3 = std::strchr(c2 + 1, ',');
    if (c3 == nullptr)
        return false;
    const char* c4 = std::strchr(c3 + 1, ',');
    if (c4 == nullptr)
        return false;
    CopyField(m_Options, c3 + 1, static_cast<size_t>(c4 - c3 - 1));
    const char* star = std::strchr(c4 + 1, '*');
    if (star == nullptr)
        return false;
    CopyField(m_Serial, c4 + 1, static_cast<size_t>(star - c4 - 1));
    return true;
}

bool CReceiverCheck::ReadSentence(Sentence& text) {
    std::memset(text, 0, sizeof(Sentence));
    bool capturing = false;
    size_t count = 0;
    const uint32_t start = TickMs();
    while (ElapsedMs(start) < m_Timing.sentenceLimitMs) {
        if (m_Channel.StopRequested() || Yielding())
            return false;
        CCommPort* port = Port();
        uint8_t b = 0;
        if (port == nullptr || !port->ReadByte(b)) {
            m_Channel.SleepMs(m_Timing.readPauseMs);
            continue;
        }
        if (!capturing) {
            if (b == '$')
                capturing = true;
            continue;
        }
        if (count >= SENTENCE_BYTES) {
            // Too long for a sentence: drop it and wait for the next '$'.
            std::memset(text, 0, sizeof(Sentence));
            capturing = false;
            count = 0;
            continue;
        }
        text[count++] = static_cast<char>(b);
        text[count] = 0;
        if (count >= 3 && text[count - 2] == '\r' && text[count - 1] == '\n') {
            m_Channel.Log("message received:");
            m_Channel.Log(std::string(text, count));
            return true;
        }
    }
    return false;
}

bool CReceiverCheck::SentenceChecksumOk(const char* text) {
    const size_t n = std::strlen(text);
    if (n < 5)
        return false;
    unsigned int expected = 0;
    if (std::sscanf(text + n - 5, "*%X", &expected) != 1)
        return false;
    unsigned int sum = 0;
    for (size_t i = 0; i < n - 5; ++i)
        sum ^= static_cast<unsigned char>(text[i]);
    if (sum == expected)
        return true;
    m_Channel.Log("crc not equal");
    return false;
}

void CReceiverCheck::ConvertVersion(char (&version)[TEXT_SIZE]) {
    int major = 0;
    int minor = 0;
    const int read = std::sscanf(version, "%02d%02d", &major, &minor);
    if (read < 1)
        return;
    if (read < 2)
        minor = 0;
    std::snprintf(version, TEXT_SIZE, "%d.%d", major, minor);
}

void CReceiverCheck::ClearTexts() {
    std::memset(m_Model, 0, sizeof m_Model);
    std::memset(m_Version, 0, sizeof m_Version);
    std::memset(m_Options, 0, sizeof m_Options);
    std::memset(m_Serial, 0, sizeof m_Serial);
}

void CReceiverCheck::Publish() {
    std::lock_guard<std::mutex> lock(m_TextLock);
    std::memcpy(m_Shown[0], m_Model, TEXT_SIZE);
    std::memcpy(m_Shown[1], m_Version, TEXT_SIZE);
    std::memcpy(m_Shown[2], m_Options, TEXT_SIZE);
    std::memcpy(m_Shown[3], m_Serial, TEXT_SIZE);
}

ReceiverTexts CReceiverCheck::Texts() {
    std::lock_guard<std::mutex> lock(m_TextLock);
    return {std::string(m_Shown[0], strnlen(m_Shown[0], TEXT_SIZE)),
            std::string(m_Shown[1], strnlen(m_Shown[1], TEXT_SIZE)),
            std::string(m_Shown[2], strnlen(m_Shown[2], TEXT_SIZE)),
            std::string(m_Shown[3], strnlen(m_Shown[3], TEXT_SIZE))};
}

std::string CReceiverCheck::Model() {
    return Texts().model;
}

std::string CReceiverCheck::Version() {
    return Texts().version;
}

std::string CReceiverCheck::Options() {
    return Texts().options;
}

std::string CReceiverCheck::Serial() {
    return Texts().serial;
}
