// Loading and framing union images of 1, 2 and 4 MiB: time per load-and-frame and the memory it needs.
// Each size runs in its own child process, so the peak resident size and the heap high-water mark belong
// to that size alone; the files are written by another child beforehand.

#include "ImageWriter.h"

#include "core/Channel.h"
#include "image/LoadImage.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <malloc.h>
#include <new>
#include <string>
#include <vector>

namespace {

std::atomic<long long> g_HeapLive{0};
std::atomic<long long> g_HeapPeak{0};

void Count(void* p) {
    long long live = g_HeapLive.fetch_add(static_cast<long long>(malloc_usable_size(p))) +
                     static_cast<long long>(malloc_usable_size(p));
    long long peak = g_HeapPeak.load();
    while (live > peak && !g_HeapPeak.compare_exchange_weak(peak, live)) {
    }
}

} // namespace

void* operator new(size_t n) {
    void* p = std::malloc(n ? n : 1);
    if (!p)
        throw std::bad_alloc();
    Count(p);
    return p;
}
void operator delete(void* p) noexcept {
    if (p)
        g_HeapLive.fetch_sub(static_cast<long long>(malloc_usable_size(p)));
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    operator delete(p);
}

namespace {

struct Measure {
    double bestMs = 0;
    double medianMs = 0;
    long maxRssKb = 0;
    long long heapPeak = 0;
    uint64_t frames = 0;
    uint64_t bytes = 0;
    bool ok = false;
};

// One load with its report, then every frame of the reduced image, as an upload reads it.
bool LoadAndFrame(const std::string& path, ProgramRecord& record, uint64_t& frames, uint64_t& bytes) {
    CChannel channel;
    CImageFile image;
    if (!LoadImage(image, path, channel))
        return false;
    image.RewindSection(0);
    frames = 0;
    bytes = 0;
    for (;;) {
        if (!image.NextRecord(record, 0))
            return false;
        if (record.dataCount == 0)
            break;
        ++frames;
        bytes += record.dataCount;
    }
    // The dialog drains the log; here the lines just go.
    while (channel.m_LogQueue.Pop()) {
    }
    return true;
}

Measure Run(const std::string& path, int rounds) {
    Measure m;
    static ProgramRecord record; // the caller's record, reused frame after frame
    long long heapBefore = g_HeapLive.load();
    g_HeapPeak.store(heapBefore);
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        m.ok = LoadAndFrame(path, record, m.frames, m.bytes);
        auto t1 = std::chrono::steady_clock::now();
        if (!m.ok)
            return m;
        times.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    std::sort(times.begin(), times.end());
    m.bestMs = times.front();
    m.medianMs = times[times.size() / 2];
    m.heapPeak = g_HeapPeak.load() - heapBefore;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    m.maxRssKb = usage.ru_maxrss;
    return m;
}

} // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 9;
    if (rounds < 1)
        rounds = 1;
    std::string folder =
        (std::filesystem::temp_directory_path() / ("kv-image-bench-" + std::to_string(getpid()))).string();
    std::filesystem::create_directories(folder);

    struct Size {
        const char* name;
        uint32_t fwSize;
    };
    const Size sizes[] = {
        {"1 MiB", 0x100000 - 0x8000 - 4}, {"2 MiB", 0x200000 - 0x8000 - 4}, {"4 MiB", 0x3F7FFC}};

    // The files are made in a child, so that building them in memory does not count against the readers.
    pid_t writer = fork();
    if (writer == 0) {
        for (const Size& s : sizes) {
            UnionParams params;
            params.fwSize = s.fwSize;
            params.modules = 24;
            Bytes bytes;
            std::string error;
            if (!BuildUnionImage(params, bytes, error) ||
                !WriteFile(folder + "/" + std::to_string(s.fwSize) + ".bin", bytes.data(), bytes.size(),
                           error)) {
                std::fprintf(stderr, "%s\n", error.c_str());
                _exit(1);
            }
        }
        _exit(0);
    }
    int status = 0;
    waitpid(writer, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return 1;

    std::printf("Load (open, parse, report, reduce) and frame a union image; %d rounds each, own process\n",
                rounds);
    std::printf("%-6s %10s %10s %8s %12s %14s %12s\n", "image", "best ms", "median ms", "MB/s", "frames",
                "heap peak B", "max RSS KiB");
    bool allOk = true;
    for (const Size& s : sizes) {
        std::string path = folder + "/" + std::to_string(s.fwSize) + ".bin";
        int fds[2];
        if (pipe(fds) != 0)
            return 1;
        pid_t child = fork();
        if (child == 0) {
            close(fds[0]);
            Measure m = Run(path, rounds);
            ssize_t written = write(fds[1], &m, sizeof m);
            _exit(written == static_cast<ssize_t>(sizeof m) ? 0 : 1);
        }
        close(fds[1]);
        Measure m;
        ssize_t got = read(fds[0], &m, sizeof m);
        close(fds[0]);
        waitpid(child, &status, 0);
        if (got != static_cast<ssize_t>(sizeof m) || !m.ok) {
            std::printf("%-6s failed\n", s.name);
            allOk = false;
            continue;
        }
        double mb = static_cast<double>(m.bytes) / (1024.0 * 1024.0);
        std::printf("%-6s %10.2f %10.2f %8.0f %12llu %14lld %12ld\n", s.name, m.bestMs, m.medianMs,
                    mb / (m.bestMs / 1000.0), static_cast<unsigned long long>(m.frames), m.heapPeak,
                    m.maxRssKb);
    }
    std::filesystem::remove_all(folder);
    return allOk ? 0 : 1;
}
