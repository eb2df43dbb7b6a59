#include "ProgramDir.h"

#include "core/Channel.h"
#include "core/Platform.h"

std::string ProgramDir(CChannel* channel) {
    std::string folder = ProgramFolder();
    if (folder.empty() && channel)
        channel->Log("GetModuleFileName failed");
    return folder;
}
