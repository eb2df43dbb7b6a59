#include "ByteRing.h"

void ByteRing::Size(uint16_t size) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Buffer.reset();
    m_Size = size;
    m_ReadIndex = 0;
    m_WriteIndex = 0;
    if (size > 0)
        m_Buffer = std::make_unique<uint8_t[]>(size);
}

bool ByteRing::PutLocked(uint8_t b) {
    m_Buffer[m_WriteIndex] = b;
    m_WriteIndex = static_cast<uint16_t>((m_WriteIndex + 1) % m_Size);
    if (m_WriteIndex == m_ReadIndex) {
        m_ReadIndex = static_cast<uint16_t>((m_ReadIndex + 1) % m_Size);
        return false;
    }
    return true;
}

bool ByteRing::Put(uint8_t b) {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (!m_Buffer)
        return false;
    return PutLocked(b);
}

bool ByteRing::PutMany(const uint8_t* p, uint32_t n) {
    const uint16_t count = static_cast<uint16_t>(n);
    std::lock_guard<std::mutex> lock(m_Lock);
    if (!m_Buffer)
        return false;
    for (uint16_t i = 0; i < count; ++i)
        PutLocked(p[i]);
    return true;
}

bool ByteRing::Get(uint8_t& b) {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (!m_Buffer || m_ReadIndex == m_WriteIndex)
        return false;
    b = m_Buffer[m_ReadIndex];
    m_ReadIndex = static_cast<uint16_t>((m_ReadIndex + 1) % m_Size);
    return true;
}

uint32_t ByteRing::GetMany(uint8_t* out, uint32_t max) {
    std::lock_guard<std::mutex> lock(m_Lock);
    uint32_t n = 0;
    if (!m_Buffer)
        return 0;
    while (n < max && m_ReadIndex != m_WriteIndex) {
        out[n++] = m_Buffer[m_ReadIndex];
        m_ReadIndex = static_cast<uint16_t>((m_ReadIndex + 1) % m_Size);
    }
    return n;
}

bool ByteRing::IsEmpty() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_ReadIndex == m_WriteIndex;
}

void ByteRing::Clear() {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_ReadIndex = 0;
    m_WriteIndex = 0;
}
