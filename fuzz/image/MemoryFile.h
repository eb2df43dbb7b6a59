#pragma once
// Fuzz input as a real file: the reader works on paths and C streams, so each input is put into one
// in-memory file (memfd) that is reopened through /proc/self/fd.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

class MemoryFile {
public:
    MemoryFile() {
        m_Fd = memfd_create("kv-fuzz-image", 0);
        if (m_Fd >= 0)
            m_Path = "/proc/self/fd/" + std::to_string(m_Fd);
    }
    ~MemoryFile() {
        if (m_Fd >= 0)
            close(m_Fd);
    }
    bool Fill(const uint8_t* data, size_t size) {
        if (m_Fd < 0 || ftruncate(m_Fd, 0) != 0)
            return false;
        size_t done = 0;
        while (done < size) {
            ssize_t n = pwrite(m_Fd, data + done, size - done, static_cast<off_t>(done));
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    const std::string& Path() const { return m_Path; }

private:
    int m_Fd = -1;
    std::string m_Path;
};
