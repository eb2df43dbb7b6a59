#include "image/ImageFile.h"

bool CImageFile::OpenFile(const std::string& path, CChannel& channel) {
    return m_Stream.Open(path, channel);
}

bool CImageFile::OpenSnapshot(std::shared_ptr<const ImageSnapshot> snapshot, CChannel& channel) {
    return m_Stream.Open(std::move(snapshot), channel);
}

bool CImageFile::Parse() {
    m_Count = 0;
    UnionSection& first = m_Sections[0];
    if (!first.Open(m_Stream, 0))
        return false;
    m_Count = 1;
    if (first.fwId == FwId::Options) {
        MarkActive();
        return true;
    }
    if (first.fwId != FwId::Pfl || first.format != SectionFormat::Binary)
        return false;

    UnionSection& main = m_Sections[1];
    if (!main.Open(m_Stream, MAIN_FW_OFFSET))
        return false;
    m_Count = 2;
    if (main.fwId != FwId::MainFirmware)
        return false;

    // An optional third section right after the main firmware's checksum word.
    uint64_t third = static_cast<uint64_t>(MAIN_FW_OFFSET) + main.size + 4;
    if (third < m_Stream.Size() && m_Sections[2].Open(m_Stream, static_cast<uint32_t>(third)))
        m_Count = 3;

    MarkActive();
    // Until the receiver's resident loader shows this PFL's version, its boot area needs a reload first.
    first.bootCurrent = false;
    return true;
}

void CImageFile::MarkActive() {
    for (uint8_t i = 0; i < m_Count && i < MAX_SECTIONS; ++i) {
        m_Sections[i].active = m_Sections[i].fwId != FwId::Unknown;
        m_Sections[i].bootCurrent = true;
    }
}

void CImageFile::ReduceToOneSection() {
    m_Count = 1;
    UnionSection& first = m_Sections[0];
    if (first.format != SectionFormat::Binary)
        return;
    uint32_t size = m_Stream.Size();
    // An Options file is its image and checksum word; bytes trailing after them would stretch the erase
    // from OPTIONS_BASE into the main firmware.
    if (first.fwId == FwId::Options && static_cast<uint64_t>(first.size) + 4 < size)
        size = first.size + 4;
    first.size = size;
}

void CImageFile::RewindSection(uint8_t i) {
    if (i < MAX_SECTIONS)
        m_Sections[i].Rewind(m_Stream);
}

bool CImageFile::NextRecord(ProgramRecord& record, uint8_t i) {
    if (i >= MAX_SECTIONS)
        return false;
    return m_Sections[i].NextRecord(record, m_Stream);
}
