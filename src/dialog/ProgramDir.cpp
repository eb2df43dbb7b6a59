#include "ProgramDir.h"

#include "core/Channel.h"

#include <climits>
#include <unistd.h>

std::string ProgramDir(CChannel* channel) {
    char path[PATH_MAX + 1];
    ssize_t n = readlink("/proc/self/exe", path, PATH_MAX);
    if (n <= 0) {
        if (channel)
            channel->Log("GetModuleFileName failed");
        return {};
    }
    path[n] = '\0';
    std::string full(path);
    size_t slash = full.rfind('/');
    return slash == std::string::npos ? std::string() : full.substr(0, slash);
}
