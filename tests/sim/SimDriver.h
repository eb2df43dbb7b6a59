#pragma once
// The host's side for the simulator tests: a serial port on the pseudo-terminal, frames built from the
// loader frame layout, and a runner that serves a simulated receiver on its own thread.

#include "sim/SimReceiver.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
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
    // OK_CODE and ERASE_CODE up to the loader's OK_CODE REC_WAIT_CODE: ready for the range frame.
    bool EraseCommand();
    // Go-ahead, 'w', the frame, then the acknowledge; result: the byte that answered the frame or -1.
    int SendFrame(const Bytes& frame, bool recordWait = true);
    // A data frame and, when it was taken, the loader's second reply: {acknowledge[, write result]}.
    Bytes WriteFrame(uint32_t address, const Bytes& data);
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
    // Frames of at most 2048 bytes from address, each answered OK_CODE (and a second one when secondOk).
    bool SendChunks(uint32_t address, const Bytes& image, bool recordWait, bool secondOk);
    std::string AskLine(uint8_t code);
    CHostPort& m_Port;
    std::string m_Note;
};

// A simulated receiver on its own thread, the host's port open on it and a driver for the upload steps.
class SimTest : public ::testing::Test {
protected:
    ::testing::AssertionResult Start(const SimOptions& opt = FastOptions(), uint32_t rate = 115200) {
        sim = std::make_unique<CSimRunner>(opt);
        if (!sim->Ok())
            return ::testing::AssertionFailure() << sim->Error();
        if (!port.Open(sim->Path(), rate))
            return ::testing::AssertionFailure() << "cannot open " << sim->Path();
        return ::testing::AssertionSuccess();
    }
    CSimReceiver& Rx() { return sim->Sim(); }
    bool StageIs(SimStage stage) {
        return CSimRunner::WaitFor([&] { return Rx().Stage() == stage; });
    }

    std::unique_ptr<CSimRunner> sim; // declared first: the port closes before the simulator stops
    CHostPort port;
    CUploadDriver d{port};
};
