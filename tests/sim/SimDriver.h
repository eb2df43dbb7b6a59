#pragma once
// The host's side for the simulator tests: a serial port on the pseudo-terminal, frames built from the
// loader frame layout, and a runner that serves a simulated receiver on its own thread.

#include "sim/SimReceiver.h"

#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using Bytes = std::vector<uint8_t>;

const int WAIT_MS = 5000; // generous: the suite runs on a loaded machine

class CHostPort {
public:
    ~CHostPort();
    bool Open(const std::string& path, uint32_t rate = 115200);
    void SetRate(uint32_t rate);
    void Close();
    bool IsOpen() const { return m_Fd >= 0; }
    void Write(const Bytes& data);
    void Write(const std::string& text);
    void Write(uint8_t b) { Write(Bytes{b}); }
    // The next byte, or -1 after ms.
    int ReadByte(int ms = WAIT_MS);
    // The next byte that is not in skip, or -1.
    int ReadSkipping(const Bytes& skip, int ms = WAIT_MS);
    // Exactly n bytes, fewer on time-out.
    Bytes Read(size_t n, int ms = WAIT_MS);
    // Everything that comes within ms.
    Bytes ReadFor(int ms);
    // From the next '$' up to and including LF, or "" on time-out.
    std::string ReadSentence(int ms = WAIT_MS);
    // True when the other side has gone (hang-up) within ms.
    bool WaitHangup(int ms = WAIT_MS);
    void Flush();

private:
    int m_Fd = -1;
};

// Frames as the host builds them: '[', length in words, payload, XOR of the payload words, ']'.
Bytes MakeFrame(const Bytes& payload);
Bytes DataFrame(uint32_t address, const Bytes& data);
Bytes CommandFrame(uint32_t a, uint32_t b);
Bytes EmptyFrame();
std::string Checksummed(const std::string& body); // "$" body "*HH\r\n"

// A first-stage loader image: "$VER," text within its first 4096 bytes.
Bytes LoaderImage(const std::string& versionLine, size_t size = 3000);
// Firmware image bytes that look like a union file: PFL version bytes and a main firmware version.
Bytes FirmwareImage(size_t size, const std::string& fwVersion, uint8_t pflMajor, uint8_t pflMinor);

// A file name in the test temporary folder that no other test process uses.
std::string TempPath(const std::string& name);

// Options with fast timings and no pacing.
SimOptions FastOptions();

class CSimRunner {
public:
    explicit CSimRunner(const SimOptions& opt);
    ~CSimRunner();
    bool Ok() const { return m_Ok; }
    const std::string& Error() const { return m_Error; }
    const std::string& Path() const { return m_Sim.SlavePath(); }
    CSimReceiver& Sim() { return m_Sim; }
    // Ends the engine and waits for it.
    SimEnd Finish();
    bool Finished() const { return m_Done.load(); }
    // Polls cond every 5 ms for up to ms.
    static bool WaitFor(const std::function<bool()>& cond, int ms = WAIT_MS);

private:
    CSimReceiver m_Sim;
    bool m_Ok = false;
    std::string m_Error;
    std::thread m_Thread;
    std::atomic<bool> m_Done{false};
    SimEnd m_End = SimEnd::Stopped;
};

// Host-side steps of an upload, each returning false with a note on the first surprise.
class CUploadDriver {
public:
    explicit CUploadDriver(CHostPort& port) : m_Port(port) {}
    bool EnterLoader(const std::string& sentence = "$PQELS,PFL,LOA\r\n");
    std::string PfldVersion();
    // 'D', the frames of image at address, the run command and the empty frame.
    bool LoadSfld(const Bytes& image, uint32_t address, bool recordWait);
    bool Greet(uint8_t index = 9);
    std::string SfldVersion();
    Bytes FlashId(size_t dataBytes = 8);
    // OK and ERASE_CODE, the range frame, then the sector reports up to the closing OK.
    bool Erase(uint32_t start, uint32_t end, int* sectors = nullptr);
    // Go-ahead, 'w', the frame, then the acknowledge; result: the byte that answered the frame or -1.
    int SendFrame(const Bytes& frame, bool recordWait = true);
    // Data frames of at most 2048 bytes, each with its acknowledge and second OK, then the empty frame.
    bool Program(uint32_t start, const Bytes& image);
    // Loader mode, the first-stage loader into RAM at 0x201000, started and greeted at 115200.
    bool ReachSfld();
    const std::string& Note() const { return m_Note; }

private:
    bool Fail(const std::string& note) {
        m_Note = note;
        return false;
    }
    CHostPort& m_Port;
    std::string m_Note;
};
