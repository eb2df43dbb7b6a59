#pragma once
// One section of an image file. ImageSection reads a stand-alone file (the first-stage loader file, plain
// binary form or S-records); UnionSection reads a section of an image-union file, with its checksums and
// identification (PFL, main firmware, Options, SFL).
//
// Stand-alone use, e.g. for tz5_sfl.hex:
//     ImageStream stream;  ImageSection sfl;  ProgramRecord record;
//     stream.Open(path, channel) && sfl.Open(stream, 0);
//     sfl.Rewind(stream);
//     while (sfl.NextRecord(record, stream) && record.dataCount != 0) { send record.frame[0..length) }

#include "image/ImageStream.h"
#include "image/ImageTypes.h"
#include "image/ProgramRecord.h"

#include <cstdint>

class ImageSection {
public:
    static constexpr size_t VERSION_SIZE = 256;
    static constexpr size_t SERIAL_SIZE = 65;
    // Largest data frame payload, also the binary read block.
    static constexpr uint32_t BLOCK_SIZE = ProgramRecord::MAX_DATA;

    virtual ~ImageSection() = default;

    // format := None; tries S-records first, then the binary form.
    virtual bool Open(ImageStream& stream, uint32_t offset);
    // Plain binary form: 32 opaque bytes, start at 32, end at 36, no checksum.
    virtual bool OpenBinary(ImageStream& stream, uint32_t offset);
    virtual bool OpenSRecord(ImageStream& stream, uint32_t offset);
    // Reads S-records from the current position; start := lowest S3 address, size := extent of the data
    // (lowest address to the end of the furthest line), entry := S7 address or start, textEnd := where the
    // reading stopped (a bad line after the S7 line, or the end of the file). S3 lines without data bytes
    // count for nothing. Fails on a bad line before any S7 line, when no S3 line holds data, or when the
    // data runs past the 32-bit address space.
    virtual bool ScanSRecord(ImageStream& stream);

    // Back to the first byte: seek to fileOffset, nextAddress := start, no continuation.
    void Rewind(ImageStream& stream);
    // Next data frame into record. A frame with dataCount 0 ends the section. False on a read error of a
    // binary section or for format None. A bad S-record line closes the frame without failing; nothing
    // from textEnd on is framed, so only lines that the check read can reach a receiver.
    bool NextRecord(ProgramRecord& record, ImageStream& stream);

    Continuation continuation;
    SectionFormat format = SectionFormat::None;
    FwId fwId = FwId::Unknown;
    uint32_t start = 0;
    uint32_t size = 0;
    uint32_t entry = 0;
    uint32_t nextAddress = 0;
    uint32_t fileOffset = 0;
    uint32_t textEnd = 0; // S-records: file offset one past the last line the check took
    bool active = false;
    // The receiver's boot area already holds this section's loader; no BOOT reload step before programming.
    bool bootCurrent = false;
    CheckState checkState = CheckState::NotChecked;
    char version[VERSION_SIZE] = {};
    char optionsSerial[SERIAL_SIZE] = {};

protected:
    bool NextBinaryRecord(ProgramRecord& record, ImageStream& stream);
    bool NextSRecordRecord(ProgramRecord& record, ImageStream& stream);
};

class UnionSection : public ImageSection {
public:
    // Header length covered by the module check when the marker word at 64 holds this value, else 1024.
    static constexpr uint32_t SHORT_HEADER_MARKER = 0x8100;
    static constexpr uint32_t MODULE_TABLE_SIZE = 1024;

    // S-records first, else the union binary form (entry := start); then identification. True when either
    // form opened, whatever identification found.
    bool Open(ImageStream& stream, uint32_t offset) override;
    // Union binary form: nine header words, start at 36, end at 40, image, XOR checksum word (optional at
    // the end of the file). At the main firmware's offset the module table decides instead of the word.
    bool OpenBinary(ImageStream& stream, uint32_t offset) override;
    bool OpenSRecord(ImageStream& stream, uint32_t offset) override;
    virtual bool IdentifyOptions(ImageStream& stream);

    void Identify(ImageStream& stream);
    bool IdentifyPfl(ImageStream& stream);
    bool IdentifyMainFirmware(ImageStream& stream);
    bool IdentifySfl(ImageStream& stream);

private:
    bool CheckModules(ImageStream& stream);
};

// Finds the loader's version line in buffer: the first "$VER" (not at byte 0) whose text up to the next
// zero byte is shorter than 256 characters; version := its text after "$VER" and one separator, up to a
// carriage return or the text's end. False (version empty) when there is none.
bool FindVersionLine(const uint8_t* buffer, size_t length, char* version, size_t versionSize);
