#pragma once
// Circular byte buffer shared by one producer and its consumers; when full, the oldest byte is dropped.

#include <cstdint>
#include <memory>
#include <mutex>

class ByteRing {
public:
    ByteRing() = default;
    ByteRing(const ByteRing&) = delete;
    ByteRing& operator=(const ByteRing&) = delete;

    // Replaces any old buffer; the ring holds at most size - 1 bytes.
    void Size(uint16_t size);
    // False when there is no buffer, or when the byte went in but the oldest byte had to go.
    bool Put(uint8_t b);
    // Stores n bytes (taken as a 16-bit count) as Put would; false only when there is no buffer.
    bool PutMany(const uint8_t* p, uint32_t n);
    // False when there is no buffer or nothing is waiting; b is then left untouched.
    bool Get(uint8_t& b);
    // Takes up to max bytes in one locked step; returns how many were taken.
    uint32_t GetMany(uint8_t* out, uint32_t max);
    bool IsEmpty();
    // Bytes waiting (the transmit side reports how much is still to go out).
    uint32_t Count();
    void Clear();

private:
    bool PutLocked(uint8_t b);

    std::mutex m_Lock;
    std::unique_ptr<uint8_t[]> m_Buffer;
    uint16_t m_Size = 0;
    uint16_t m_ReadIndex = 0;
    uint16_t m_WriteIndex = 0;
};
