#pragma once
// The image container: one open file and up to three union sections (PFL or Options, main firmware, an
// optional third). Instances are independent; the program keeps one for the chosen image. The file's bytes
// are read once, when it is opened; checks and frames come from that copy.

#include "image/ImageSection.h"
#include "image/ImageStream.h"
#include "image/ProgramRecord.h"

#include <cstdint>
#include <memory>
#include <string>

class CChannel;

class CImageFile {
public:
    static constexpr uint8_t MAX_SECTIONS = 3;

    // Opens the file (reads its bytes); the creation-time line goes to channel. OpenError() says why not.
    bool OpenFile(const std::string& path, CChannel& channel);
    // Opens bytes read before, which other containers may share.
    bool OpenSnapshot(std::shared_ptr<const ImageSnapshot> snapshot, CChannel& channel);
    const std::string& OpenError() const { return m_Stream.Error(); }
    // Lower-case hexadecimal SHA-256 of the bytes held; empty when none are.
    const std::string& Sha256() const { return m_Stream.Sha256(); }
    // Reads the section layout right after OpenFile: an Options section alone, or a binary PFL at 0, the main
    // firmware at 0x8000 and optionally one more section after it. False for anything else.
    bool Parse();
    // active := (fwId != Unknown), bootCurrent := true for each valid section.
    void MarkActive();
    // After a load the whole file is one image from section 0's start: count := 1, and a binary section 0
    // spans the whole file. An S-record section keeps the extent of its data (the text's length is no
    // measure of it and would erase too far); a binary Options section spans its image and checksum word
    // only, so bytes trailing after them cannot stretch the erase into the main firmware.
    void ReduceToOneSection();

    void RewindSection(uint8_t i);
    bool NextRecord(ProgramRecord& record, uint8_t i);
    void Close() { m_Stream.Close(); }

    uint8_t Count() const { return m_Count; }
    // Sections at index Count() and above hold whatever an earlier file left there.
    UnionSection& Section(uint8_t i) { return m_Sections[i < MAX_SECTIONS ? i : 0]; }
    const UnionSection& Section(uint8_t i) const { return m_Sections[i < MAX_SECTIONS ? i : 0]; }
    ImageStream& Stream() { return m_Stream; }
    const ImageStream& Stream() const { return m_Stream; }

private:
    ImageStream m_Stream;
    uint8_t m_Count = 0;
    UnionSection m_Sections[MAX_SECTIONS];
};
