// Finding the station's ports on Windows: COM names and wildcards ("COM*") over the ports the system lists,
// the adapter's USB serial from SetupAPI. Device arrival is heard in StationEventsWin32.cpp.

#include "PortWatch.h"

#include "serial/PortTable.h"

#include <algorithm>
#include <cctype>

namespace {

char Upper(char c) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

// '*' any run, '?' one character, '[...]' one of a set (with ranges); letters match in either case, as
// Windows names do.
bool WildcardMatch(const char* pattern, const char* text) {
    for (; *pattern; ++pattern, ++text) {
        if (*pattern == '*') {
            while (pattern[1] == '*')
                ++pattern;
            for (const char* rest = text;; ++rest) {
                if (WildcardMatch(pattern + 1, rest))
                    return true;
                if (!*rest)
                    return false;
            }
        }
        if (!*text)
            return false;
        if (*pattern == '?')
            continue;
        if (*pattern == '[') {
            const char* p = pattern + 1;
            bool found = false;
            for (; *p && *p != ']'; ++p) {
                if (p[1] == '-' && p[2] && p[2] != ']') {
                    found = found || (Upper(*text) >= Upper(*p) && Upper(*text) <= Upper(p[2]));
                    p += 2;
                } else {
                    found = found || Upper(*p) == Upper(*text);
                }
            }
            if (!*p || !found)
                return false;
            pattern = p;
            continue;
        }
        if (Upper(*pattern) != Upper(*text))
            return false;
    }
    return *text == '\0';
}

} // namespace

const char DEFAULT_WATCH_GLOB[] = "COM*";

std::vector<std::string> MatchGlob(const std::string& pattern) {
    // The system's list, not the port table: the table's slots belong to the running units.
    std::vector<std::string> paths;
    for (const std::string& name : SystemPortNames())
        if (WildcardMatch(pattern.c_str(), name.c_str()))
            paths.push_back(name);
    std::sort(paths.begin(), paths.end(), NaturalLess);
    return paths;
}

std::string DeviceOf(const std::string& path) {
    // "\\.\COM12" and "com12" name the device COM12.
    std::string name = path.rfind("\\\\.\\", 0) == 0 ? path.substr(4) : path;
    for (char& c : name)
        c = Upper(c);
    return name;
}

std::string PhysicalPath(const std::string&) {
    // COM ports have no stable name for the place on the bus an adapter is plugged into.
    return {};
}

std::string AdapterSerial(const std::string& path) {
    return DescribePort(DeviceOf(path)).serial;
}
