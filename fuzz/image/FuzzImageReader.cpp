// Any bytes as an image file: the load with its report, every section's frames before and after the
// reduction, the file information, and the same bytes as a stand-alone loader file.

#include "MemoryFile.h"

#include "core/Channel.h"
#include "image/ImageSection.h"
#include "image/LoadImage.h"

#include <cstdlib>

namespace {

// Frames until the end mark; each frame must be well formed and within its buffer.
void FrameAll(ImageSection& section, ImageStream& stream, ProgramRecord& record) {
    section.Rewind(stream);
    uint64_t data = 0;
    for (int guard = 0; guard < 4096; ++guard) {
        if (!section.NextRecord(record, stream))
            return;
        if (record.length < 6 || record.length > ProgramRecord::FRAME_SIZE || record.dataCount > 2048 ||
            record.frame[0] != '[' || record.frame[record.length - 1] != ']')
            std::abort();
        if (record.dataCount == 0)
            return;
        data += record.dataCount;
        // A section never frames more than its file holds.
        if (data > stream.Size())
            std::abort();
    }
}

void Drain(CChannel& channel) {
    while (channel.m_LogQueue.Pop()) {
    }
    while (channel.m_StatusQueue.Pop()) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static MemoryFile file;
    static CChannel channel;
    static ProgramRecord record;
    if (!file.Fill(data, size))
        return 0;

    {
        CImageFile image;
        if (image.OpenFile(file.Path(), channel)) {
            bool parsed = image.Parse();
            for (uint8_t i = 0; i < image.Count(); ++i) {
                const UnionSection& s = image.Section(i);
                if (s.version[ImageSection::VERSION_SIZE - 1] != '\0' ||
                    s.optionsSerial[ImageSection::SERIAL_SIZE - 1] != '\0')
                    std::abort();
                FrameAll(image.Section(i), image.Stream(), record);
            }
            (void)parsed;
        }
    }
    {
        CImageFile image;
        if (LoadImage(image, file.Path(), channel)) {
            if (image.Count() != 1)
                std::abort();
            DescribeImage(image, &channel);
            FrameAll(image.Section(0), image.Stream(), record);
        }
    }
    {
        ImageStream stream;
        ImageSection loader;
        if (stream.Open(file.Path(), channel) && loader.Open(stream, 0)) {
            if (loader.format == SectionFormat::SRecord &&
                static_cast<uint64_t>(loader.start) + loader.size > 0x100000000ull)
                std::abort();
            FrameAll(loader, stream, record);
        }
    }
    Drain(channel);
    return 0;
}
