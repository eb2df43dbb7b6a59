#include "image/LoadImage.h"

#include "core/Channel.h"

#include <cstdio>
#include <string>

namespace {

std::string Format(const char* format, auto... values) {
    char text[768];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

void WriteReport(const CImageFile& image, CChannel& channel) {
    const ImageStream& stream = image.Stream();
    channel.Log("----------- Image Info -----------");
    channel.Log(Format("Image file: %s", stream.Name()));
    channel.Log(Format("File size: %u", stream.Size()));
    channel.Log(Format("Sections in all: %u", static_cast<unsigned>(image.Count())));
    for (uint8_t i = 0; i < image.Count(); ++i) {
        const UnionSection& s = image.Section(i);
        channel.Log(Format("****** Section N%u ******", static_cast<unsigned>(i + 1)));
        channel.Log(Format("Active flag: %s", s.active ? "on" : "off"));
        channel.Log(Format("Format: %s", FormatText(s.format)));
        channel.Log(Format("FW ID: %s", FwIdText(s.fwId)));
        channel.Log(Format("Start address: 0x%08X", s.start));
        channel.Log(Format("Size: 0x%08X", s.size));
        channel.Log(Format("Entry: 0x%08X", s.entry));
        channel.Log(Format("CRC State: %s", s.checkState != CheckState::NotChecked ? "ok" : "n/a"));
    }
    channel.Log("");
}

bool OpenFailed(CChannel& channel, const ImageLoadTexts& texts, const std::string& cause) {
    channel.PushStatus(texts.openFailed + ": " + cause);
    channel.Log("ERROR: image open FAILED: " + cause);
    return false;
}

bool CheckOpened(CImageFile& image, CChannel& channel, const ImageLoadTexts& texts) {
    channel.Log("Image SHA-256: " + image.Sha256());
    if (!image.Parse()) {
        channel.PushStatus(texts.corrupted);
        channel.Log("ERROR: image file corrupted");
        return false;
    }
    WriteReport(image, channel);
    image.ReduceToOneSection();
    return true;
}

bool LoadPath(CImageFile& image, const std::string& path, CChannel& channel, const ImageLoadTexts& texts) {
    if (path.empty())
        return false;
    if (!image.OpenFile(path, channel))
        return OpenFailed(channel, texts, image.OpenError());
    return CheckOpened(image, channel, texts);
}

} // namespace

bool LoadImage(CImageFile& image, const std::string& path, CChannel& channel, const ImageLoadTexts& texts) {
    channel.Log("Open image file name - " + path);
    return LoadPath(image, path, channel, texts);
}

bool LoadImage(CImageFile& image, LockedString& imagePath, CChannel& channel, const ImageLoadTexts& texts) {
    channel.Log("Open image file name - " + imagePath.Get());
    return LoadPath(image, imagePath.Get(), channel, texts);
}

bool LoadImage(CImageFile& image, std::shared_ptr<const ImageSnapshot> snapshot, CChannel& channel,
               const ImageLoadTexts& texts) {
    const std::string path = snapshot ? snapshot->path : std::string();
    channel.Log("Open image file name - " + path);
    if (!image.OpenSnapshot(std::move(snapshot), channel))
        return OpenFailed(channel, texts, image.OpenError());
    return CheckOpened(image, channel, texts);
}

ImageFileInfo DescribeImage(const CImageFile& image, CChannel* channel) {
    ImageFileInfo info;
    const ImageStream& stream = image.Stream();
    const FileTime& t = stream.CreationTime();
    info.size = stream.Size();
    info.date = Format("%02d.%02d.%04d", t.day, t.month, t.year);
    info.time = Format("%d:%02d:%02d", t.hour, t.minute, t.second);
    info.options = image.Section(0).fwId == FwId::Options;
    if (channel) {
        channel->Log(Format("Size:\t%u bytes", info.size));
        channel->Log(
            Format("Created:\t%d.%d.%d %d:%d:%d", t.day, t.month, t.year, t.hour, t.minute, t.second));
    }
    if (info.options) {
        info.value = image.Section(0).optionsSerial;
        if (channel)
            channel->Log("Options serial:\t" + info.value);
    } else {
        info.value = image.Section(1).version;
        info.pflVersion = image.Section(0).version;
        if (channel) {
            channel->Log("Image version:\t" + info.value);
            channel->Log("PFL version:\t" + info.pflVersion);
        }
    }
    return info;
}
