#pragma once
// Condition waits with generous deadlines and the texts of the log lines, on every platform. The
// pseudo-terminal is in Pty.h.

#include "core/Channel.h"
#include "core/Clock.h"

#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace test {

inline bool WaitUntil(const std::function<bool()>& condition, uint32_t ms = 10000) {
    const uint32_t start = TickMs();
    for (;;) {
        if (condition())
            return true;
        if (ElapsedMs(start) > ms)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

inline std::vector<std::string> LogTexts(CChannel& channel, bool withWakes = false) {
    std::vector<std::string> texts;
    while (auto line = channel.m_LogQueue.Pop()) {
        const std::string text = line->substr(line->find('\t') + 1);
        // The receive thread logs "1" when a close wakes it, and only if it was waiting at that moment.
        if (withWakes || text != "1")
            texts.push_back(text);
    }
    return texts;
}

} // namespace test
