#include "ImageTool.h"

#include "core/Channel.h"
#include "image/ImageSection.h"
#include "image/LoadImage.h"

#include <cstdio>
#include <span>

namespace {

// Log lines without their "hh:mm:ss<TAB>" stamp; a line that already ends in a line feed (the creation
// time) is not given a second one.
void PrintLog(CChannel& channel) {
    while (auto line = channel.m_LogQueue.Pop()) {
        std::string text = *line;
        size_t tab = text.find('\t');
        if (tab != std::string::npos)
            text.erase(0, tab + 1);
        if (text.empty() || text.back() != '\n')
            text += '\n';
        std::fputs(text.c_str(), stdout);
    }
}

void PrintStatus(CChannel& channel) {
    while (auto line = channel.m_StatusQueue.Pop())
        std::printf("%s\n", line->c_str());
}

} // namespace

int RunInfo(const Args& args) {
    if (args.size() != 1) {
        std::fprintf(stderr, "usage: kavrel-image info FILE\n");
        return 2;
    }
    CChannel channel;
    CImageFile image;
    bool ok = LoadImage(image, args[0], channel);
    PrintLog(channel);
    if (!ok) {
        PrintStatus(channel);
        // An empty name pushes no status line; it is no image either.
        if (args[0].empty())
            std::printf("ERROR: image open failed\n");
        return 1;
    }
    ImageFileInfo info = DescribeImage(image);
    std::printf("Type: %s\n", info.options ? "Options" : "Firmware");
    if (info.options) {
        std::printf("Serial: %s\n", info.value.c_str());
    } else {
        std::printf("Version: %s\n", info.value.c_str());
        std::printf("PFL version: %s\n", info.pflVersion.c_str());
    }
    std::printf("Date: %s\n", info.date.c_str());
    std::printf("Time: %s\n", info.time.c_str());
    return 0;
}

int RunLoader(const Args& args) {
    if (args.size() != 1) {
        std::fprintf(stderr, "usage: kavrel-image loader FILE\n");
        return 2;
    }
    CChannel channel;
    ImageStream stream;
    ImageSection section;
    if (!stream.Open(args[0], channel)) {
        std::printf("ERROR: SFLD file open failed\n");
        return 1;
    }
    if (!section.Open(stream, 0)) {
        std::printf("ERROR: wrong SFLD resource format\n");
        return 1;
    }
    std::printf("Format: %s\n", FormatText(section.format));
    std::printf("Start address: 0x%08X\n", section.start);
    std::printf("Size: 0x%08X\n", section.size);
    std::printf("Entry: 0x%08X\n", section.entry);

    // The loader's first 4096 bytes, as the receiver sees them in its RAM.
    uint8_t head[4096] = {};
    section.Rewind(stream);
    if (section.format == SectionFormat::SRecord) {
        stream.ReadSRecordWindow(std::span<uint8_t>(head, sizeof head), section.start);
    } else {
        uint32_t count = 0;
        stream.Read(head, sizeof head, count);
    }
    char version[ImageSection::VERSION_SIZE];
    bool hasVersion = FindVersionLine(head, sizeof head, version, sizeof version);

    ProgramRecord record;
    uint32_t frames = 0;
    uint64_t bytes = 0;
    section.Rewind(stream);
    for (;;) {
        if (!section.NextRecord(record, stream)) {
            std::printf("ERROR: section read error\n");
            return 1;
        }
        if (record.dataCount == 0)
            break;
        ++frames;
        bytes += record.dataCount;
    }
    std::printf("Frames: %u\n", frames);
    std::printf("Data bytes: %llu\n", static_cast<unsigned long long>(bytes));
    std::printf("Version line: %s\n", hasVersion ? version : "none");
    return 0;
}
