#include "SimDriver.h"

#include "sim/SimLoaderCodes.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {
speed_t SpeedCode(uint32_t rate) {
    static const std::pair<uint32_t, speed_t> codes[] = {{300, B300},     {600, B600},     {1200, B1200},
                                                         {2400, B2400},   {4800, B4800},   {9600, B9600},
                                                         {19200, B19200}, {38400, B38400}, {57600, B57600}};
    for (const auto& [r, code] : codes)
        if (r == rate)
            return code;
    return B115200;
}

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Milliseconds left until end, never negative.
int Left(int64_t end) {
    int64_t left = end - NowMs();
    return static_cast<int>(left > 0 ? left : 0);
}
} // namespace

CHostPort::~CHostPort() {
    Close();
}

bool CHostPort::Open(const std::string& path, uint32_t rate) {
    Close();
    m_Fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_Fd < 0)
        return false;
    SetRate(rate);
    return true;
}

void CHostPort::SetRate(uint32_t rate) {
    termios t{};
    tcgetattr(m_Fd, &t);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&t, SpeedCode(rate));
    cfsetospeed(&t, SpeedCode(rate));
    tcsetattr(m_Fd, TCSANOW, &t);
}

void CHostPort::Close() {
    if (m_Fd >= 0)
        close(m_Fd);
    m_Fd = -1;
}

void CHostPort::Write(const Bytes& data) {
    size_t done = 0;
    int64_t end = NowMs() + WAIT_MS;
    while (done < data.size() && NowMs() < end) {
        ssize_t n = write(m_Fd, data.data() + done, data.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return;
        pollfd p{m_Fd, POLLOUT, 0};
        poll(&p, 1, 50);
    }
}

void CHostPort::Write(const std::string& text) {
    Write(Bytes(text.begin(), text.end()));
}

int CHostPort::ReadByte(int ms) {
    int64_t end = NowMs() + ms;
    for (;;) {
        uint8_t b;
        ssize_t n = read(m_Fd, &b, 1);
        if (n == 1)
            return b;
        if (Left(end) <= 0)
            return -1;
        pollfd p{m_Fd, POLLIN, 0};
        poll(&p, 1, Left(end));
    }
}

int CHostPort::ReadSkipping(const Bytes& skip, int ms) {
    int64_t end = NowMs() + ms;
    for (;;) {
        int b = ReadByte(Left(end));
        if (b < 0)
            return -1;
        bool skipped = false;
        for (uint8_t s : skip)
            skipped = skipped || b == s;
        if (!skipped)
            return b;
    }
}

Bytes CHostPort::Read(size_t n, int ms) {
    Bytes out;
    int64_t end = NowMs() + ms;
    while (out.size() < n) {
        int b = ReadByte(Left(end));
        if (b < 0)
            break;
        out.push_back(static_cast<uint8_t>(b));
    }
    return out;
}

Bytes CHostPort::ReadFor(int ms) {
    Bytes out;
    int64_t end = NowMs() + ms;
    while (Left(end) > 0) {
        int b = ReadByte(Left(end));
        if (b >= 0)
            out.push_back(static_cast<uint8_t>(b));
    }
    return out;
}

std::string CHostPort::ReadSentence(int ms) {
    int64_t end = NowMs() + ms;
    std::string s;
    for (;;) {
        int b = ReadByte(Left(end));
        if (b < 0)
            return "";
        if (b == '$')
            s = "$";
        else if (!s.empty())
            s.push_back(static_cast<char>(b));
        if (!s.empty() && b == '\n')
            return s;
    }
}

bool CHostPort::WaitHangup(int ms) {
    int64_t end = NowMs() + ms;
    for (;;) {
        pollfd p{m_Fd, POLLIN, 0};
        int64_t left = end - NowMs();
        if (left < 0)
            return false;
        if (poll(&p, 1, static_cast<int>(left)) > 0) {
            if (p.revents & (POLLHUP | POLLERR))
                return true;
            uint8_t buf[256];
            ssize_t n = read(m_Fd, buf, sizeof buf);
            if (n < 0 && errno == EIO)
                return true;
        }
    }
}

void CHostPort::Flush() {
    tcflush(m_Fd, TCIOFLUSH);
}

Bytes MakeFrame(const Bytes& payload) {
    uint16_t sum = 0;
    for (size_t i = 0; i + 1 < payload.size(); i += 2)
        sum ^= static_cast<uint16_t>((payload[i] << 8) | payload[i + 1]);
    size_t words = payload.size() / 2;
    // Sized once and filled in place: growing a three-byte vector by the payload trips a false
    // -Warray-bounds in GCC 12 at -O3.
    Bytes f(payload.size() + 6);
    f[0] = '[';
    f[1] = static_cast<uint8_t>(words >> 8);
    f[2] = static_cast<uint8_t>(words);
    std::copy(payload.begin(), payload.end(), f.begin() + 3);
    f[f.size() - 3] = static_cast<uint8_t>(sum >> 8);
    f[f.size() - 2] = static_cast<uint8_t>(sum);
    f[f.size() - 1] = ']';
    return f;
}

static void PutBe32(Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v >> 24));
    b.push_back(static_cast<uint8_t>(v >> 16));
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}

Bytes DataFrame(uint32_t address, const Bytes& data) {
    Bytes p;
    PutBe32(p, address);
    p.insert(p.end(), data.begin(), data.end());
    if (p.size() % 2)
        p.push_back(0);
    return MakeFrame(p);
}

Bytes CommandFrame(uint32_t a, uint32_t b) {
    Bytes p;
    PutBe32(p, a);
    PutBe32(p, b);
    return MakeFrame(p);
}

Bytes EmptyFrame() {
    return MakeFrame({});
}

std::string Checksummed(const std::string& body) {
    uint8_t sum = 0;
    for (char c : body)
        sum ^= static_cast<uint8_t>(c);
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
    return "$" + body + tail;
}

Bytes LoaderImage(const std::string& versionLine, size_t size) {
    Bytes img(size);
    for (size_t i = 0; i < size; ++i)
        img[i] = static_cast<uint8_t>(i * 7 + 3);
    std::string text = versionLine + "\r\n";
    for (size_t i = 0; i < text.size() && 0x200 + i < size; ++i)
        img[0x200 + i] = static_cast<uint8_t>(text[i]);
    return img;
}

Bytes FirmwareImage(size_t size, const std::string& fwVersion, uint8_t pflMajor, uint8_t pflMinor) {
    Bytes img(size);
    uint32_t x = 0x12345678;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        img[i] = static_cast<uint8_t>(x >> 16);
    }
    if (size > 57) {
        img[56] = pflMinor;
        img[57] = pflMajor;
    }
    for (size_t i = 0; i < fwVersion.size() && 0x8000 + 1024 + 52 + i < size; ++i)
        img[0x8000 + 1024 + 52 + i] = static_cast<uint8_t>(fwVersion[i]);
    return img;
}

std::string TempPath(const std::string& name) {
    return ::testing::TempDir() + "kv_sim_" + std::to_string(getpid()) + "_" + name;
}

SimOptions FastOptions() {
    SimOptions o;
    o.raw = true;
    o.helloIntervalMs = 5;
    o.eraseMs = 0;
    o.programMs = 0;
    o.recordTimeoutMs = 300;
    o.finishDelayMs = 100;
    o.rebootMs = 50;
    return o;
}

CSimRunner::CSimRunner(const SimOptions& opt) : m_Sim(opt) {
    m_Ok = m_Sim.Open(m_Error);
    if (m_Ok)
        m_Thread = std::thread([this] {
            m_End = m_Sim.Run();
            m_Done.store(true);
        });
}

CSimRunner::~CSimRunner() {
    Finish();
}

SimEnd CSimRunner::Finish() {
    if (m_Thread.joinable()) {
        m_Sim.Stop();
        m_Thread.join();
    }
    return m_End;
}

bool CSimRunner::WaitFor(const std::function<bool()>& cond, int ms) {
    int64_t end = NowMs() + ms;
    while (!cond()) {
        if (NowMs() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool CUploadDriver::EnterLoader(const std::string& sentence) {
    Bytes b(sentence.begin(), sentence.end());
    b.push_back(OK_CODE);
    m_Port.Write(b);
    int r = m_Port.ReadByte();
    if (r != LOAD_CODE)
        return Fail("no LOAD_CODE after the loader-mode sentence, got " + std::to_string(r));
    return true;
}

std::string CUploadDriver::AskLine(uint8_t code) {
    m_Port.Write(code);
    std::string s = m_Port.ReadSentence();
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
    return s;
}

std::string CUploadDriver::PfldVersion() {
    return AskLine(PFL_VERSION_CODE);
}

int CUploadDriver::SendFrame(const Bytes& frame, bool recordWait) {
    m_Port.Write(OK_CODE);
    if (recordWait) {
        int w = m_Port.ReadByte();
        if (w != REC_WAIT_CODE) {
            m_Note = "no REC_WAIT_CODE before the frame, got " + std::to_string(w);
            return -1;
        }
    }
    m_Port.Write(frame);
    // A 'w' for a loader that sends it unasked is passed over.
    return m_Port.ReadSkipping({REC_WAIT_CODE});
}

bool CUploadDriver::SendChunks(uint32_t address, const Bytes& image, bool recordWait, bool secondOk) {
    for (size_t off = 0; off < image.size(); off += 2048) {
        size_t n = std::min<size_t>(2048, image.size() - off);
        Bytes chunk(image.begin() + static_cast<long>(off), image.begin() + static_cast<long>(off + n));
        int r = SendFrame(DataFrame(address + static_cast<uint32_t>(off), chunk), recordWait);
        if (r != OK_CODE)
            return Fail("frame at offset " + std::to_string(off) + " answered " + std::to_string(r));
        int second = secondOk ? m_Port.ReadByte() : OK_CODE;
        if (second != OK_CODE)
            return Fail("no second OK_CODE after frame at offset " + std::to_string(off) + ", got " +
                        std::to_string(second));
    }
    return true;
}

bool CUploadDriver::LoadSfld(const Bytes& image, uint32_t address, bool recordWait) {
    m_Port.Write(LOAD_CODE);
    if (!SendChunks(address, image, recordWait, false))
        return false;
    char run[32];
    std::snprintf(run, sizeof run, "G%X#", address);
    m_Port.Write(std::string(run));
    int r = SendFrame(EmptyFrame(), recordWait);
    if (r != OK_CODE)
        return Fail("empty frame after the run command answered " + std::to_string(r));
    return true;
}

bool CUploadDriver::Greet(uint8_t index) {
    if (m_Port.ReadByte() != HELLO_CODE)
        return Fail("no HELLO_CODE");
    m_Port.Write(OK_CODE);
    // Hellos sent before our answer arrived are still on their way.
    if (m_Port.ReadSkipping({}) != HELLO_CODE)
        return Fail("no second HELLO_CODE");
    m_Port.Write(OK_CODE);
    if (m_Port.ReadSkipping({HELLO_CODE}) != BAUD_CODE)
        return Fail("no BAUD_CODE");
    m_Port.Write(Bytes{'[', index, ']'});
    Bytes r;
    int b;
    while ((b = m_Port.ReadSkipping({BAUD_CODE, HELLO_CODE})) >= 0) {
        r.push_back(static_cast<uint8_t>(b));
        if (r.size() == 3)
            break;
    }
    if (r != Bytes{OK_CODE, OK_CODE, index})
        return Fail("speed agreement not answered with OK OK index");
    return true;
}

std::string CUploadDriver::SfldVersion() {
    return AskLine(VERSION_CODE);
}

Bytes CUploadDriver::FlashId(size_t dataBytes) {
    m_Port.Write(FLASH_ID_CODE);
    return m_Port.Read(1 + dataBytes);
}

bool CUploadDriver::EraseCommand() {
    m_Port.Write(OK_CODE);
    if (m_Port.ReadByte() != OK_CODE)
        return Fail("no OK_CODE before the erase");
    m_Port.Write(ERASE_CODE);
    if (m_Port.Read(2) != Bytes{OK_CODE, REC_WAIT_CODE})
        return Fail("ERASE_CODE not answered with OK_CODE and REC_WAIT_CODE");
    return true;
}

bool CUploadDriver::Erase(uint32_t start, uint32_t end, int* sectors) {
    if (!EraseCommand())
        return false;
    int r = SendFrame(CommandFrame(start, end));
    if (r != OK_CODE)
        return Fail("erase range frame answered " + std::to_string(r));
    if (m_Port.Read(2) != Bytes{PARAM_CODE, ERASE_CODE})
        return Fail("no sector count");
    int n = m_Port.ReadByte();
    if (n < 0)
        return Fail("no sector count value");
    for (int i = 0; i < n; ++i)
        if (m_Port.ReadByte() != SECTOR_ERASED)
            return Fail("sector report " + std::to_string(i + 1) + " missing");
    if (m_Port.ReadByte() != OK_CODE)
        return Fail("no OK_CODE after the erase");
    if (sectors)
        *sectors = n;
    return true;
}

bool CUploadDriver::Program(uint32_t start, const Bytes& image) {
    if (!SendChunks(start, image, true, true))
        return false;
    int r = SendFrame(EmptyFrame());
    if (r != OK_CODE)
        return Fail("empty frame answered " + std::to_string(r));
    return true;
}

Bytes CUploadDriver::WriteFrame(uint32_t address, const Bytes& data) {
    int r = SendFrame(DataFrame(address, data));
    if (r != OK_CODE)
        return {static_cast<uint8_t>(r)};
    return {OK_CODE, static_cast<uint8_t>(m_Port.ReadByte())};
}

bool CUploadDriver::ReachSfld() {
    return EnterLoader() && LoadSfld(LoaderImage("$VER,SFLD_T1"), 0x201000, false) && Greet(9);
}
