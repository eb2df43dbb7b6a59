#pragma once
// NOR flash of the receiver (4 MiB at 0x10000000) and the RAM that the resident loader fills.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

const uint32_t SIM_FLASH_BASE = 0x10000000;
const uint32_t SIM_FLASH_SIZE = 0x400000;
const uint32_t SIM_RAM_BASE = 0x200000;
const uint32_t SIM_RAM_SIZE = 0x40000;

enum class FlashResult { Ok, OutOfRange, NotErased };

class CSimFlash {
public:
    // sectorSize: size of every sector but the lowest, which is split into bootSectors equal parts.
    CSimFlash(uint32_t sectorSize, uint32_t bootSectors);

    // Sectors touched by [start, end), as flash offsets of their first bytes. false when the range is
    // empty-inverted or leaves the flash.
    bool SectorsFor(uint32_t start, uint32_t end, std::vector<uint32_t>& sectorOffsets) const;
    void EraseSector(uint32_t offset);
    uint32_t SectorLength(uint32_t offset) const;
    // A byte may only be programmed while it reads 0xFF.
    FlashResult Program(uint32_t address, const uint8_t* data, size_t count);
    bool Load(const std::string& path, std::string& error);
    bool Save(const std::string& path, std::string& error) const;

    std::vector<uint8_t> Snapshot() const;
    uint8_t At(uint32_t address) const;

private:
    // The engine thread writes; tests and signal-driven dumps read from other threads.
    mutable std::mutex m_Mutex;
    uint32_t m_SectorSize;
    uint32_t m_BootSector;
    std::vector<uint8_t> m_Bytes;
};

class CSimRam {
public:
    CSimRam() : m_Bytes(SIM_RAM_SIZE, 0) {}
    bool Write(uint32_t address, const uint8_t* data, size_t count);
    // Up to count bytes from address, fewer near the end of RAM, none outside it.
    std::vector<uint8_t> Read(uint32_t address, size_t count) const;

private:
    std::vector<uint8_t> m_Bytes;
};
