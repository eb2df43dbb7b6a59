#include "image/ImageStream.h"

#include "core/Channel.h"
#include "core/Platform.h"

#include <cstring>
#include <ctime>

ImageStream::~ImageStream() {
    Close();
}

bool ImageStream::Open(const std::string& path, CChannel& channel) {
    Close();
    m_HasCreationTime = false;
    m_Size = 0;
    // A path the name field cannot hold is refused: the report would name a different file.
    if (path.size() >= NAME_SIZE || path.find('\0') != std::string::npos) {
        m_Name[0] = '\0';
        m_State = State::OpenFailed;
        return false;
    }
    std::memcpy(m_Name, path.c_str(), path.size() + 1);

    // Only regular files: a directory reads as an error, and a FIFO or terminal is never opened.
    FileFacts facts;
    m_File = OpenRegularFile(m_Name, facts);
    if (m_File && facts.size > 0xFFFFFFFFULL) {
        std::fclose(m_File);
        m_File = nullptr;
    }
    if (!m_File) {
        m_State = State::OpenFailed;
        return false;
    }
    m_Size = static_cast<uint32_t>(facts.size);

    std::tm local{};
    if (facts.hasCreated && LocalTimeOf(facts.created, local)) {
        m_Created.day = local.tm_mday;
        m_Created.month = local.tm_mon + 1;
        m_Created.year = local.tm_year + 1900;
        m_Created.hour = local.tm_hour;
        m_Created.minute = local.tm_min;
        m_Created.second = local.tm_sec;
        m_HasCreationTime = true;
        // The C library's fixed text ("Www Mmm dd hh:mm:ss yyyy\n"), independent of the locale.
        const std::string text = AscTimeText(local);
        if (!text.empty())
            channel.Log(text);
    }
    m_State = State::Open;
    return true;
}

void ImageStream::Close() {
    if (m_File) {
        std::fclose(m_File);
        m_File = nullptr;
    }
    m_State = State::Closed;
}

bool ImageStream::Seek(uint64_t offset) {
    if (!IsOpen() || offset >= m_Size)
        return false;
    if (fseeko(m_File, static_cast<off_t>(offset), SEEK_SET) != 0)
        return false;
    return ftello(m_File) == static_cast<off_t>(offset);
}

ReadResult ImageStream::Read(uint8_t* buffer, uint32_t length, uint32_t& count) {
    count = 0;
    if (!IsOpen() || std::ferror(m_File))
        return ReadResult::Error;
    if (length > 0xFFFF)
        length = 0xFFFF;
    size_t got = std::fread(buffer, 1, length, m_File);
    count = static_cast<uint32_t>(got);
    if (std::ferror(m_File))
        return ReadResult::Error;
    return got == 0 ? ReadResult::End : ReadResult::Ok;
}

ReadResult ImageStream::ReadWord(uint32_t& word) {
    uint8_t b[4] = {0, 0, 0, 0};
    uint32_t count = 0;
    ReadResult r = Read(b, 4, count);
    word = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
           static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
    return r;
}

ReadResult ImageStream::XorWords(uint64_t words, uint32_t& x) {
    // Same outcome as reading the words one by one: each read needs at least one byte, a word cut short by
    // the end of the file counts with zeros in its missing bytes.
    uint8_t block[4096];
    while (words > 0) {
        uint32_t want =
            words > sizeof block / 4 ? static_cast<uint32_t>(sizeof block) : static_cast<uint32_t>(words * 4);
        uint32_t got = 0;
        ReadResult r = Read(block, want, got);
        if (r != ReadResult::Ok)
            return r;
        uint32_t whole = got / 4;
        for (uint32_t i = 0; i < whole; ++i) {
            const uint8_t* p = block + i * 4;
            x ^= static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                 static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
        }
        words -= whole;
        if (got % 4 != 0) {
            uint8_t tail[4] = {0, 0, 0, 0};
            std::memcpy(tail, block + whole * 4, got % 4);
            x ^= static_cast<uint32_t>(tail[0]) | static_cast<uint32_t>(tail[1]) << 8 |
                 static_cast<uint32_t>(tail[2]) << 16 | static_cast<uint32_t>(tail[3]) << 24;
            words -= 1;
            // The file ended inside that word: the next read, if any is wanted, finds nothing.
            if (words > 0)
                return ReadResult::End;
        } else if (got < want && words > 0) {
            continue;
        }
    }
    return ReadResult::Ok;
}
