#include "image/ImageStream.h"

#include "core/Channel.h"

#include <cerrno>
#include <cstring>

ImageStream::~ImageStream() {
    Close();
}

bool ImageStream::Open(const std::string& path, CChannel& channel) {
    Close();
    // A path the name field cannot hold is refused before anything is read: the report would name a
    // different file.
    if (path.size() >= NAME_SIZE) {
        m_Name[0] = '\0';
        m_Error = std::strerror(ENAMETOOLONG);
        m_State = State::OpenFailed;
        return false;
    }
    auto snapshot = std::make_shared<ImageSnapshot>();
    if (!ReadImageSnapshot(path, *snapshot, m_Error)) {
        m_Name[0] = '\0';
        m_State = State::OpenFailed;
        return false;
    }
    return Open(std::shared_ptr<const ImageSnapshot>(std::move(snapshot)), channel);
}

bool ImageStream::Open(std::shared_ptr<const ImageSnapshot> snapshot, CChannel& channel) {
    Close();
    m_HasCreationTime = false;
    m_Size = 0;
    m_Name[0] = '\0';
    m_Error.clear();
    if (!snapshot || snapshot->path.size() >= NAME_SIZE || snapshot->size != snapshot->bytes.size()) {
        m_Error = std::strerror(snapshot ? ENAMETOOLONG : EINVAL);
        m_State = State::OpenFailed;
        return false;
    }
    std::memcpy(m_Name, snapshot->path.c_str(), snapshot->path.size() + 1);
    m_Snapshot = std::move(snapshot);
    m_Bytes = m_Snapshot->bytes.data();
    m_Size = m_Snapshot->size;
    m_Pos = 0;
    m_HasCreationTime = m_Snapshot->hasCreationTime;
    m_Created = m_Snapshot->created;
    if (m_HasCreationTime && !m_Snapshot->createdText.empty())
        channel.Log(m_Snapshot->createdText);
    m_State = State::Open;
    return true;
}

void ImageStream::Close() {
    m_Snapshot.reset();
    m_Bytes = nullptr;
    m_Pos = 0;
    m_State = State::Closed;
}

const std::string& ImageStream::Sha256() const {
    static const std::string none;
    return IsOpen() ? m_Snapshot->sha256 : none;
}

bool ImageStream::Seek(uint64_t offset) {
    if (!IsOpen() || offset >= m_Size)
        return false;
    m_Pos = static_cast<uint32_t>(offset);
    return true;
}

ReadResult ImageStream::Read(uint8_t* buffer, uint32_t length, uint32_t& count) {
    count = 0;
    if (!IsOpen())
        return ReadResult::Error;
    if (length > 0xFFFF)
        length = 0xFFFF;
    const uint32_t left = m_Pos < m_Size ? m_Size - m_Pos : 0;
    count = length < left ? length : left;
    if (count == 0)
        return ReadResult::End;
    std::memcpy(buffer, m_Bytes + m_Pos, count);
    m_Pos += count;
    return ReadResult::Ok;
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
