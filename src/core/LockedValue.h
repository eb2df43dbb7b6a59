#pragma once
// A value guarded by its own mutex, with a "changed" mark that readers may probe without the lock.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

template <typename T> class LockedValue {
public:
    // A new cell holds its initial value and reports no change until its first Set.
    explicit LockedValue(T initial = T{}) : m_Value(std::move(initial)) {}
    LockedValue(const LockedValue&) = delete;
    LockedValue& operator=(const LockedValue&) = delete;

    void Set(T value) {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Changed.store(1, std::memory_order_relaxed);
        m_Value = std::move(value);
    }

    // Every Get clears the mark, whoever calls it.
    T Get() {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Changed.store(0, std::memory_order_relaxed);
        return m_Value;
    }

    // Cheap probe without the lock; a stale answer only delays the reaction to the next look.
    int Changed() const { return m_Changed.load(std::memory_order_relaxed); }

private:
    std::atomic<int> m_Changed{0};
    std::mutex m_Lock;
    T m_Value;
};

using LockedInt = LockedValue<int32_t>;
using LockedShort = LockedValue<int16_t>;
using LockedString = LockedValue<std::string>;
