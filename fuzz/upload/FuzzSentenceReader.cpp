// Any bytes as what the receiver sends: the receiver check's sentence reader over an in-memory port, and the
// checksum test of every sentence it captures.

#include "core/Channel.h"
#include "serial/CommPort.h"
#include "upload/ReceiverCheck.h"

#include <cstdlib>
#include <cstring>

namespace {

// Hands out the fuzz input byte by byte; once it is used up it asks the reader to stop, so that the reader
// returns at once instead of waiting out its sentence limit.
class CMemoryPort : public CCommPort {
public:
    explicit CMemoryPort(CChannel& channel) : m_Channel(channel) {}
    void Load(const uint8_t* data, size_t size) {
        m_Data = data;
        m_Size = size;
        m_At = 0;
    }
    int IsOpen() override { return 1; }
    bool ReadByte(uint8_t& b) override {
        if (m_At >= m_Size) {
            m_Channel.RequestStop();
            return false;
        }
        b = m_Data[m_At++];
        return true;
    }

private:
    CChannel& m_Channel;
    const uint8_t* m_Data = nullptr;
    size_t m_Size = 0;
    size_t m_At = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static CChannel channel;
    static CMemoryPort port(channel);
    static CReceiverCheck check(channel);
    check.m_Timing.readPauseMs = 0;
    check.SetPort(&port);
    channel.m_Stop.Set(0);
    channel.m_LogQueue.Clear();
    port.Load(data, size);

    CReceiverCheck::Sentence sentence;
    for (size_t guard = 0; guard <= size && check.ReadSentence(sentence); ++guard) {
        // A captured sentence fits its buffer, is terminated, and is bytes of the input that followed a '$'.
        const size_t n = strnlen(sentence, sizeof sentence);
        if (n > CReceiverCheck::SENTENCE_BYTES)
            std::abort();
        bool found = false;
        for (size_t at = 0; !found && at + n < size; ++at)
            found = data[at] == '$' && std::memcmp(data + at + 1, sentence, n) == 0;
        if (!found)
            std::abort();
        // A sentence whose checksum passes has its '*' five characters from the end. (What follows the digits
        // is not looked at: a NUL byte inside a sentence can leave other bytes than the line end there.)
        if (check.SentenceChecksumOk(sentence) && (n < 5 || sentence[n - 5] != '*'))
            std::abort();
    }
    return 0;
}
