#include "TextQueue.h"

#include <new>
#include <vector>

bool TextQueue::Init(uint16_t capacity) {
    std::unique_ptr<std::unique_ptr<std::string>[]> old;
    std::lock_guard<std::mutex> lock(m_Lock);
    old = std::move(m_Slots);
    m_ReadIndex = 0;
    m_WriteIndex = 0;
    m_Size = capacity;
    if (capacity == 0)
        return false;
    m_Slots.reset(new (std::nothrow) std::unique_ptr<std::string>[capacity]);
    if (!m_Slots)
        m_Size = 0;
    return m_Slots != nullptr;
}

void TextQueue::Push(std::unique_ptr<std::string> line) {
    if (!line)
        return;
    std::lock_guard<std::mutex> lock(m_Lock);
    if (!m_Slots || (m_WriteIndex + 1) % m_Size == m_ReadIndex)
        return; // full: the line is freed when it leaves this scope
    m_Slots[m_WriteIndex] = std::move(line);
    m_WriteIndex = static_cast<uint16_t>((m_WriteIndex + 1) % m_Size);
}

std::optional<std::string> TextQueue::Pop() {
    std::unique_ptr<std::string> line;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        if (!m_Slots || m_ReadIndex == m_WriteIndex)
            return std::nullopt;
        line = std::move(m_Slots[m_ReadIndex]);
        m_ReadIndex = static_cast<uint16_t>((m_ReadIndex + 1) % m_Size);
    }
    return std::move(*line);
}

void TextQueue::Clear() {
    std::vector<std::unique_ptr<std::string>> discarded;
    std::lock_guard<std::mutex> lock(m_Lock);
    if (!m_Slots)
        return;
    while (m_ReadIndex != m_WriteIndex) {
        discarded.push_back(std::move(m_Slots[m_ReadIndex]));
        m_ReadIndex = static_cast<uint16_t>((m_ReadIndex + 1) % m_Size);
    }
    m_ReadIndex = 0;
    m_WriteIndex = 0;
}
