#pragma once
// Everything that shapes one simulated receiver: identity, loaders, flash, line, timings and the one fault
// to inject. The command line of kavrel-sim fills it; tests fill it directly.

#include <cstdint>
#include <string>
#include <vector>

enum class SimFault {
    None,
    Silent,            // nothing is ever sent
    LdrOnly,           // the firmware ignores the LOA sentence, answers only LDR
    EraseFail,         // PROGRAM_FAIL instead of the k-th sector report
    SizeExceeded,      // every erase range is refused with SIZE_EXCEEDED
    BadCsum,           // BAD_CSUM once on programming frame k
    NoAck,             // no acknowledge once on programming frame k
    NoComplete,        // no completion mark after programming
    Noise,             // noise bytes between sentences in firmware mode
    Hangup,            // the line is hung up when programming frame k arrives
    HangupQuery,       // the line is hung up when the k-th RID query arrives (unplugged after identifying)
    Stall,             // the receiver stops answering when programming frame k arrives
    SlowErase,         // every sector erase takes close to the host's 5000 ms limit
    MuteAfterUpl,      // the firmware leaves RID/RIO unanswered after the upload sentence
    NoiseAny,          // noise of any byte value, also inside the firmware's sentences
    ParamOutsideErase, // a PARAM_CODE triple before each SFLD answer the host waits for outside the erase
    LateHello,         // one HELLO_CODE after the greeting, inside the first version line
    NoBootReload,      // BOOT_RELOAD is not answered at all
    ProgramFailOk,     // PROGRAM_FAIL and then OK_CODE after writing programming frame k
    MarkU,             // the completion mark is a single 'U'
    MarkUux,           // the completion mark is 'U', 'U' and another byte
};

enum class SimStartStage { Firmware, Pfld };

// Where the line is hung up with --hangup-at: the RID query after the upload sentence, the first frame of
// the first-stage loader into RAM, the speed answer, the flash identification query, the erase range, the
// first programming frame, the moment the completion mark is due.
enum class SimPhase { None, Check, Load, Speed, Identify, Erase, Program, Complete };

// When another receiver takes the place of the first on the same line (--swap-to).
enum class SimSwapAt {
    Upl,     // on the upload sentence, before the host's last check
    Loader,  // when the loader-mode request is accepted: after the host's last check, before the erase
    Frame,   // when programming frame swapFrame has been written
    Restart, // at the restart after a completed upload
};

struct SimOptions {
    // Pseudo-terminal
    std::string linkPath;          // symbolic link to the slave, replaced if present
    bool raw = false;              // no line pacing
    bool once = false;             // end after one completed upload
    uint32_t onceLingerMs = 30000; // with once: end this long after completion even if the port stays open
    bool strict = false;           // every host byte the protocol does not expect is a violation
    uint32_t count = 1;            // receivers served at once by the program (links get an index)

    // Firmware
    SimStartStage start = SimStartStage::Firmware;
    uint32_t fwBaud = 115200; // 0: follow whatever rate the host uses
    std::string type = "TZ5N";
    std::string model = "TZ5N";
    std::string version = "0102";
    std::string options = "GPS-GLO";
    std::string serial = "KV000001";
    bool rioNak = false;
    // After a completed upload the restarted firmware reports these instead (empty: unchanged).
    std::string rebootVersion;
    std::string rebootSerial;
    std::string rebootOptions;
    uint32_t nmeaNoiseMs = 0; // unsolicited sentence period in firmware mode, 0 off
    // Another receiver answers from swapAt on (empty swapModel: none): RIO model and serial, the RID type
    // when the model has 4 characters, and swapVersion (empty: the version as before) as its version.
    std::string swapModel;
    std::string swapSerial;
    std::string swapVersion;
    SimSwapAt swapAt = SimSwapAt::Restart;
    uint32_t swapFrame = 1;

    // PFLD
    uint32_t pfldBaud = 115200;
    std::string pfldVersion = "1.5";
    bool pfldRecordWait = true;

    // SFLD
    uint32_t helloIntervalMs = 50;
    uint8_t flashCfi = 1;
    uint8_t flashMaker = 0x01;
    uint16_t flashDevice = 0x00F9;
    uint32_t flashSizeReport = 0x400000;
    int flashShortType = -1;   // >= 0: short identification reply carrying this type number
    uint32_t flashIdBytes = 8; // data bytes in the identification reply (fewer than 8: a short reply)
    bool bootReloadGrant = true;

    // Flash model
    uint32_t sectorSize = 0x10000;
    uint32_t bootSectors = 8; // the lowest sector is split into this many small ones
    std::string flashIn;      // preload (binary image at the flash base)
    std::string flashOut;     // written at the end and on request

    // Timings (ms)
    uint32_t eraseMs = 200;          // per sector
    uint32_t programMs = 2;          // per data frame
    uint32_t recordTimeoutMs = 1000; // gap inside a frame that ends it with RECORD_TIMEOUT
    uint32_t finishDelayMs = 1000;   // quiet time after the last empty frame before the completion mark
    uint32_t rebootMs = 2000;        // from the completion mark to firmware mode
    uint32_t loaderIdleRebootMs = 0; // loader restarts the receiver after this much silence, 0 never

    // Fault
    SimFault fault = SimFault::None;
    uint32_t faultArg = 0; // frame or sector number, or ms
    SimPhase hangupAt = SimPhase::None;

    // Output
    std::string transcriptPath;
    std::string statsPath; // empty: statistics go to stderr
};

struct SimParse {
    bool ok = false;
    bool help = false;
    std::string error;
};

SimParse ParseSimOptions(const std::vector<std::string>& args, SimOptions& out);
std::string SimHelpText();
const char* SimFaultName(SimFault fault);
const char* SimPhaseName(SimPhase phase);
