#pragma once
// Circular queue of owned text lines; a line pushed into a full queue is discarded (the newest is lost).

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

class TextQueue {
public:
    TextQueue() = default;
    TextQueue(const TextQueue&) = delete;
    TextQueue& operator=(const TextQueue&) = delete;

    // Holds at most capacity - 1 lines.
    bool Init(uint16_t capacity);
    void Push(std::unique_ptr<std::string> line);
    void Push(std::string line) { Push(std::make_unique<std::string>(std::move(line))); }
    std::optional<std::string> Pop();
    void Clear();

private:
    std::mutex m_Lock;
    std::unique_ptr<std::unique_ptr<std::string>[]> m_Slots;
    uint16_t m_Size = 0;
    uint16_t m_ReadIndex = 0;
    uint16_t m_WriteIndex = 0;
};
