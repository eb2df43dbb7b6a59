#include "image/ImageSnapshot.h"

#include "core/Platform.h"
#include "image/Sha256.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace {

bool Refuse(std::string& error, const std::string& cause) {
    error = cause;
    return false;
}

void SetCreationTime(const FileFacts& facts, ImageSnapshot& out) {
    std::tm local{};
    if (!facts.hasCreated || !LocalTimeOf(facts.created, local))
        return;
    out.created = {local.tm_mday, local.tm_mon + 1, local.tm_year + 1900,
                   local.tm_hour, local.tm_min,     local.tm_sec};
    out.hasCreationTime = true;
    // Fixed text, independent of the locale.
    out.createdText = AscTimeText(local);
}

} // namespace

bool ReadImageSnapshot(const std::string& path, ImageSnapshot& out, std::string& error) {
    out = ImageSnapshot{};
    error.clear();
    if (path.empty())
        return Refuse(error, std::strerror(ENOENT));
    if (path.find('\0') != std::string::npos)
        return Refuse(error, std::strerror(EINVAL));
    // Only a regular file is opened: a FIFO could block the reader, a terminal would have its lines touched.
    FileFacts facts;
    std::FILE* file = OpenRegularFile(path, facts);
    if (!file)
        return Refuse(error, facts.error.empty() ? std::strerror(EINVAL) : facts.error);
    bool ok = false;
    if (facts.size > FLASH_SIZE) {
        error = std::strerror(EFBIG);
    } else {
        // Until the end of the file, whatever size it had a moment ago; one byte past the limit says that
        // it grew too large meanwhile.
        out.bytes.resize(static_cast<size_t>(facts.size) + 1);
        size_t got = 0;
        for (;;) {
            if (got == out.bytes.size()) {
                if (got > FLASH_SIZE)
                    break;
                out.bytes.resize(std::min<size_t>(got * 2 + 4096, FLASH_SIZE + 1u));
            }
            const size_t n = std::fread(out.bytes.data() + got, 1, out.bytes.size() - got, file);
            got += n;
            if (n == 0) {
                ok = std::ferror(file) == 0;
                if (!ok)
                    error = std::strerror(errno != 0 ? errno : EIO);
                break;
            }
        }
        if (got > FLASH_SIZE) {
            ok = false;
            error = std::strerror(EFBIG);
        }
        out.bytes.resize(ok ? got : 0);
        out.bytes.shrink_to_fit();
        if (ok)
            SetCreationTime(facts, out);
    }
    std::fclose(file);
    if (!ok) {
        out = ImageSnapshot{};
        return false;
    }
    out.path = path;
    out.size = static_cast<uint32_t>(out.bytes.size());
    out.sha256 = Sha256Hex(out.bytes.data(), out.bytes.size());
    return true;
}
