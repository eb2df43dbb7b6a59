#include "PortTable.h"

#include <cstdio>
#include <cstring>
#include <mutex>

char g_PortNames[PORT_SLOTS][PORT_NAME_CHARS] = {"OFF"};
uint8_t g_PortCount = 0;

namespace {

std::mutex g_PortTableLock;

} // namespace

bool NaturalLess(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            size_t ei = i, ej = j;
            while (ei < a.size() && isDigit(a[ei]))
                ++ei;
            while (ej < b.size() && isDigit(b[ej]))
                ++ej;
            // Compare by value: skip leading zeros, then longer is larger, then digit by digit.
            size_t si = i, sj = j;
            while (si + 1 < ei && a[si] == '0')
                ++si;
            while (sj + 1 < ej && b[sj] == '0')
                ++sj;
            if (ei - si != ej - sj)
                return ei - si < ej - sj;
            const int cmp = a.compare(si, ei - si, b, sj, ej - sj);
            if (cmp != 0)
                return cmp < 0;
            if (ei - i != ej - j)
                return ei - i < ej - j;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j])
                return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

int SetPortNames(const std::vector<std::string>& names) {
    // Built aside and swapped in under the lock, so the worker never sees a half-built table.
    std::lock_guard<std::mutex> lock(g_PortTableLock);
    for (int i = 1; i < PORT_SLOTS; ++i)
        std::memset(g_PortNames[i], 0, PORT_NAME_CHARS);
    g_PortCount = 0;
    for (const std::string& name : names) {
        if (g_PortCount >= PORT_SLOTS - 1)
            break;
        if (name.empty() || name.size() >= PORT_NAME_CHARS)
            continue;
        ++g_PortCount;
        std::snprintf(g_PortNames[g_PortCount], PORT_NAME_CHARS, "%s", name.c_str());
    }
    return g_PortCount;
}

bool AddPortName(const char* text) {
    if (!text || text[0] == '\0' || std::strlen(text) >= PORT_NAME_CHARS)
        return false;
    std::lock_guard<std::mutex> lock(g_PortTableLock);
    if (g_PortCount >= PORT_SLOTS - 1)
        return false;
    ++g_PortCount;
    std::snprintf(g_PortNames[g_PortCount], PORT_NAME_CHARS, "%s", text);
    return true;
}

bool SetPortName(int index, const char* text) {
    if (!text || text[0] == '\0' || std::strlen(text) >= PORT_NAME_CHARS)
        return false;
    std::lock_guard<std::mutex> lock(g_PortTableLock);
    if (index < 1 || index > g_PortCount)
        return false;
    std::snprintf(g_PortNames[index], PORT_NAME_CHARS, "%s", text);
    return true;
}

std::string PortName(int index) {
    std::lock_guard<std::mutex> lock(g_PortTableLock);
    if (index < 0 || index > g_PortCount)
        return {};
    return g_PortNames[index];
}

int FindPortName(const std::string& name) {
    std::lock_guard<std::mutex> lock(g_PortTableLock);
    for (int i = 0; i <= g_PortCount; ++i)
        if (name == g_PortNames[i])
            return i;
    return -1;
}

std::string PortDescriptionText(const std::string& path, const PortDescription& description) {
    std::string text;
    auto add = [&text](const std::string& part) {
        if (part.empty())
            return;
        if (!text.empty())
            text += ", ";
        text += part;
    };
    add(description.product);
    add(description.manufacturer);
    if (!description.serial.empty())
        add("serial " + description.serial);
    if (description.byId != path)
        add(description.byId);
    return text;
}
