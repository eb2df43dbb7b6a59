#include "sim/SimFlash.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

CSimFlash::CSimFlash(uint32_t sectorSize, uint32_t bootSectors)
    : m_SectorSize(sectorSize), m_BootSector(sectorSize / (bootSectors ? bootSectors : 1)),
      m_Bytes(SIM_FLASH_SIZE, 0xFF) {}

uint32_t CSimFlash::SectorLength(uint32_t offset) const {
    return offset < m_SectorSize ? m_BootSector : m_SectorSize;
}

bool CSimFlash::SectorsFor(uint32_t start, uint32_t end, std::vector<uint32_t>& sectors) const {
    sectors.clear();
    if (start < SIM_FLASH_BASE || end < start || end - SIM_FLASH_BASE > SIM_FLASH_SIZE)
        return false;
    uint32_t first = start - SIM_FLASH_BASE;
    uint32_t last = end - SIM_FLASH_BASE; // exclusive
    uint32_t off = 0;
    while (off < SIM_FLASH_SIZE) {
        uint32_t len = SectorLength(off);
        if (off < last && off + len > first)
            sectors.push_back(off);
        off += len;
    }
    return true;
}

void CSimFlash::EraseSector(uint32_t offset) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (offset >= SIM_FLASH_SIZE)
        return;
    uint32_t len = SectorLength(offset);
    if (len > SIM_FLASH_SIZE - offset)
        len = SIM_FLASH_SIZE - offset;
    std::memset(m_Bytes.data() + offset, 0xFF, len);
}

FlashResult CSimFlash::Program(uint32_t address, const uint8_t* data, size_t count) {
    if (address < SIM_FLASH_BASE || address - SIM_FLASH_BASE > SIM_FLASH_SIZE ||
        count > SIM_FLASH_SIZE - (address - SIM_FLASH_BASE))
        return FlashResult::OutOfRange;
    std::lock_guard<std::mutex> lock(m_Mutex);
    uint32_t off = address - SIM_FLASH_BASE;
    // Bytes before a failing one stay written, as on a real chip.
    for (size_t i = 0; i < count; ++i) {
        if (m_Bytes[off + i] != 0xFF)
            return FlashResult::NotErased;
        m_Bytes[off + i] = data[i];
    }
    return FlashResult::Ok;
}

uint8_t CSimFlash::At(uint32_t address) const {
    if (address < SIM_FLASH_BASE || address - SIM_FLASH_BASE >= SIM_FLASH_SIZE)
        return 0xFF;
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Bytes[address - SIM_FLASH_BASE];
}

std::vector<uint8_t> CSimFlash::Snapshot() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Bytes;
}

bool CSimFlash::Load(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open flash image " + path;
        return false;
    }
    std::vector<char> buf(SIM_FLASH_SIZE + 1);
    in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
    std::streamsize got = in.gcount();
    if (in.bad()) {
        error = "cannot read flash image " + path;
        return false;
    }
    if (got > static_cast<std::streamsize>(SIM_FLASH_SIZE)) {
        error = "flash image " + path + " is larger than 4 MiB";
        return false;
    }
    std::lock_guard<std::mutex> lock(m_Mutex);
    std::fill(m_Bytes.begin(), m_Bytes.end(), 0xFF);
    std::memcpy(m_Bytes.data(), buf.data(), static_cast<size_t>(got));
    return true;
}

bool CSimFlash::Save(const std::string& path, std::string& error) const {
    std::vector<uint8_t> bytes = Snapshot();
    // Written beside and renamed, so a reader never sees half a dump.
    std::string tmp = path + ".part";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) {
            error = "cannot create " + tmp;
            return false;
        }
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        out.flush();
        if (!out) {
            error = "cannot write " + tmp;
            return false;
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        error = "cannot rename " + tmp + " to " + path;
        return false;
    }
    return true;
}

bool CSimRam::Write(uint32_t address, const uint8_t* data, size_t count) {
    if (address < SIM_RAM_BASE || address - SIM_RAM_BASE > SIM_RAM_SIZE ||
        count > SIM_RAM_SIZE - (address - SIM_RAM_BASE))
        return false;
    std::memcpy(m_Bytes.data() + (address - SIM_RAM_BASE), data, count);
    return true;
}

std::vector<uint8_t> CSimRam::Read(uint32_t address, size_t count) const {
    if (address < SIM_RAM_BASE || address - SIM_RAM_BASE >= SIM_RAM_SIZE)
        return {};
    size_t off = address - SIM_RAM_BASE;
    size_t n = std::min(count, SIM_RAM_SIZE - off);
    return std::vector<uint8_t>(m_Bytes.begin() + static_cast<long>(off),
                                m_Bytes.begin() + static_cast<long>(off + n));
}
