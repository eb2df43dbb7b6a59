#include "sim/SimOptions.h"

#include <cerrno>
#include <cstdlib>

namespace {

const uint32_t FLASH_BYTES = 0x400000;

bool ParseNumber(const std::string& text, uint64_t limit, uint64_t& value) {
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v > limit)
        return false;
    value = v;
    return true;
}

bool ValidBaud(uint64_t v) {
    static const uint32_t rates[] = {300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
    for (uint32_t r : rates)
        if (r == v)
            return true;
    return false;
}

// Text that goes into an NMEA field: no separators, no checksum mark, no white space.
bool FieldText(const std::string& s, size_t maxLen) {
    if (s.empty() || s.size() > maxLen)
        return false;
    for (char c : s)
        if (c <= ' ' || c > '~' || c == ',' || c == '*' || c == '$')
            return false;
    return true;
}

struct FaultEntry {
    const char* name;
    SimFault fault;
    bool needsArg;
    uint32_t defaultArg;
    uint32_t minArg;
};

const FaultEntry g_Faults[] = {
    {"silent", SimFault::Silent, false, 0, 1},
    {"ldr-only", SimFault::LdrOnly, false, 0, 1},
    {"erase-fail", SimFault::EraseFail, false, 1, 1},
    {"size-exceeded", SimFault::SizeExceeded, false, 0, 1},
    {"bad-csum", SimFault::BadCsum, true, 0, 1},
    {"no-ack", SimFault::NoAck, true, 0, 1},
    {"no-complete", SimFault::NoComplete, false, 0, 1},
    {"noise", SimFault::Noise, false, 50, 1},
    {"hangup", SimFault::Hangup, false, 2, 1},
    {"hangup-query", SimFault::HangupQuery, false, 2, 1},
    {"stall", SimFault::Stall, false, 2, 1},
    {"slow-erase", SimFault::SlowErase, false, 4800, 1},
    {"mute-after-upl", SimFault::MuteAfterUpl, false, 0, 1},
    {"noise-any", SimFault::NoiseAny, false, 50, 1},
    {"param-outside-erase", SimFault::ParamOutsideErase, false, 0, 1},
    {"late-hello", SimFault::LateHello, false, 0, 0},
    {"no-boot-reload", SimFault::NoBootReload, false, 0, 1},
    {"program-fail-ok", SimFault::ProgramFailOk, false, 1, 1},
    {"mark-u", SimFault::MarkU, false, 0, 1},
    {"mark-uux", SimFault::MarkUux, false, 0, 1},
};

const struct {
    const char* name;
    SimPhase phase;
} g_Phases[] = {{"check", SimPhase::Check},       {"load", SimPhase::Load},   {"speed", SimPhase::Speed},
                {"identify", SimPhase::Identify}, {"erase", SimPhase::Erase}, {"program", SimPhase::Program},
                {"complete", SimPhase::Complete}};

} // namespace

const char* SimPhaseName(SimPhase phase) {
    for (const auto& e : g_Phases)
        if (e.phase == phase)
            return e.name;
    return "none";
}

const char* SimFaultName(SimFault fault) {
    for (const FaultEntry& e : g_Faults)
        if (e.fault == fault)
            return e.name;
    return "none";
}

std::string SimHelpText() {
    return "Usage: kavrel-sim [options]\n"
           "Simulated GNSS receiver with firmware, resident loader (PFLD), first-stage loader (SFLD) and a\n"
           "4 MiB flash at 0x10000000, on a pseudo-terminal. The first line of output is the slave path.\n"
           "Serves until SIGINT/SIGTERM (or --once). SIGUSR1 writes the flash to --flash-out.\n"
           "\n"
           "Terminal and line:\n"
           "  --link PATH            publish the slave as a symbolic link at PATH (replaced if present)\n"
           "  --count N              N receivers at once (1..64), one pseudo-terminal each; the slave paths\n"
           "                         are printed one a line, --link P makes links P0..P{N-1}, and\n"
           "                         --flash-out, --stats and --transcript get the index appended; with\n"
           "                         --once the program ends when every receiver has done one upload;\n"
           "                         the exit code is the worst receiver's\n"
           "  --raw                  no line pacing: bytes go and count at once (rates are still checked)\n"
           "  --once                 end after one completed upload, once the host closes the port\n"
           "  --once-linger MS       with --once, end at the latest MS after completion (default 30000)\n"
           "  --transcript FILE      write every byte each way with time stamps, and the receiver's events\n"
           "  --stats FILE           write the statistics there at the end instead of to stderr\n"
           "  --strict               every host byte the receiver does not expect at that moment is a\n"
           "                         violation (state, byte, position): printed on stderr, listed in the\n"
           "                         statistics, exit code 4. Expected: RID/RIO/UPL and loader-mode\n"
           "                         sentences with their go-ahead in firmware mode (and in an idle PFLD),\n"
           "                         the loader bytes and frames of each loader in turn; a frame the\n"
           "                         loader refuses or leaves unfinished counts too. Queries once the\n"
           "                         loader link has begun are violations.\n"
           "\n"
           "Firmware:\n"
           "  --start STAGE          firmware (default) or pfld: where the receiver starts\n"
           "  --fw-baud RATE         firmware line rate, 300..115200 (default 115200), 0 = follow the host\n"
           "  --type TEXT            4-character type in the RID reply (default TZ5N)\n"
           "  --model TEXT           model field of the RIO reply (default TZ5N)\n"
           "  --version TEXT         firmware version, normally 4 characters (default 0102); after an\n"
           "                         upload the version found in flash at 0x10008434 is reported when\n"
           "                         it is alphanumeric\n"
           "  --options TEXT         options field of the RIO reply (default GPS-GLO)\n"
           "  --serial TEXT          serial field of the RIO reply (default KV000001)\n"
           "  --rio-nak              answer the RIO query with $PQELR,NAK\n"
           "  --reboot-version TEXT  after a completed upload the restarted firmware reports TEXT as its\n"
           "                         version (instead of the version found in flash)\n"
           "  --reboot-serial TEXT   ... and TEXT as its serial in the RIO reply\n"
           "  --reboot-options TEXT  ... and TEXT as its options in the RIO reply\n"
           "  --swap-to MODEL:SERIAL[:VERSION]\n"
           "                         from --swap-at on another receiver answers on the same line: MODEL\n"
           "                         in the RIO reply (and as the RID type when it has 4 characters),\n"
           "                         SERIAL as its serial and VERSION as its version (default: the\n"
           "                         version as before); it takes over whatever the first was doing\n"
           "  --swap-at WHEN         upl (on the upload sentence), loader (when the loader-mode request\n"
           "                         is accepted, before the erase), frame:K (once programming frame K\n"
           "                         is taken) or restart (after the completion mark; the default)\n"
           "  --nmea-noise MS        unsolicited NMEA sentence every MS in firmware mode (default off)\n"
           "\n"
           "Resident loader (PFLD):\n"
           "  --pfld-baud RATE       PFLD line rate (default 115200); the SFLD starts at this rate\n"
           "  --pfld-version TEXT    version after $VER,PFLD_Pellar2v (default 1.5); after an upload the\n"
           "                         PFL bytes 57.56 in flash are reported when programmed\n"
           "  --pfld-no-rec-wait     the PFLD does not send 'w' after the go-ahead before a frame\n"
           "\n"
           "First-stage loader (SFLD):\n"
           "  --hello-interval MS    HELLO_CODE repeat period (default 50)\n"
           "  --flash-cfi N          CFI flag of the identification (default 1)\n"
           "  --flash-maker N        JEDEC manufacturer code (default 0x01)\n"
           "  --flash-device N       device id (default 0x00F9)\n"
           "  --flash-size N         chip size reported (default 0x400000)\n"
           "  --flash-short N        short identification reply carrying flash type N (0..255)\n"
           "  --flash-id-bytes N     data bytes in the identification reply, 1..8 (default 8, or 1 with\n"
           "                         --flash-short); fewer than 8 is a short reply whose first byte is\n"
           "                         the type number (--flash-short, else the CFI flag)\n"
           "  --boot-reload MODE     grant (default: echo BOOT_RELOAD) or refuse (BAD_COMMAND)\n"
           "\n"
           "Flash model:\n"
           "  --sector-size N        sector size in bytes, power of two (default 0x10000)\n"
           "  --boot-sectors N       the lowest sector is split into N equal boot sectors (default 8)\n"
           "  --flash-in FILE        preload the flash with a binary image at 0x10000000\n"
           "  --flash-out FILE       write the 4 MiB flash to FILE at the end and on SIGUSR1\n"
           "\n"
           "Timings (ms):\n"
           "  --erase-ms MS          time per sector erase (default 200)\n"
           "  --program-ms MS        time to program one data frame (default 2)\n"
           "  --record-timeout MS    silence inside a frame that ends it with RECORD_TIMEOUT (default 1000)\n"
           "  --finish-delay MS      quiet time after the last empty frame before the completion mark\n"
           "                         (default 1000)\n"
           "  --reboot-ms MS         from the completion mark to firmware mode (default 2000)\n"
           "  --loader-idle-reboot MS  a loader restarts the receiver after MS of silence (default 0: "
           "never)\n"
           "\n"
           "Faults (one at a time):\n"
           "  --fault NAME[:N]\n"
           "     silent              nothing is ever answered\n"
           "     ldr-only            only the LDR sentence brings the loader\n"
           "     erase-fail[:K]      PROGRAM_FAIL in place of the K-th sector report (default 1)\n"
           "     size-exceeded       the erase range is refused with SIZE_EXCEEDED\n"
           "     bad-csum:K          BAD_CSUM once on programming frame K (frames after the erase, from 1)\n"
           "     no-ack:K            no acknowledge once on programming frame K\n"
           "     no-complete         no completion mark after programming\n"
           "     noise[:MS]          noise bytes every MS between sentences in firmware mode (default 50)\n"
           "     hangup[:K]          the line is hung up when programming frame K arrives (default 2)\n"
           "     hangup-query[:K]    the line is hung up when the K-th RID query arrives (default 2)\n"
           "     stall[:K]           the receiver stops answering at programming frame K (default 2)\n"
           "     slow-erase[:MS]     every sector erase takes MS (default 4800, close to the 5000 ms limit)\n"
           "     mute-after-upl      after $PQELS,PFL,UPL the firmware answers no RID/RIO query until it\n"
           "                         restarts, but still obeys the LOA/LDR sentences\n"
           "     noise-any[:MS]      like noise, but the bytes may be '$', 'D', 0x55, CR and LF, and one\n"
           "                         firmware sentence in three has noise inside it\n"
           "     param-outside-erase PARAM_CODE 0x01 0x55 before every SFLD answer outside the erase wait\n"
           "                         (OK_CODE, REC_WAIT_CODE, frame acknowledges, second OK_CODE)\n"
           "     late-hello[:N]      one HELLO_CODE after the greeting, after the first N characters of the\n"
           "                         first SFLD version line (default 0: before it)\n"
           "     no-boot-reload      BOOT_RELOAD gets no answer at all\n"
           "     program-fail-ok[:K] PROGRAM_FAIL then OK_CODE after writing programming frame K (default\n"
           "                         1); the frame is written\n"
           "     mark-u              the completion mark is one 'U', then silence\n"
           "     mark-uux            the completion mark is 'U', 'U', 'x', then silence\n"
           "  --hangup-at PHASE      the line is hung up at that point of an upload (beside any --fault):\n"
           "                         check (the RID query after $PQELS,PFL,UPL), load (the first frame of\n"
           "                         the first-stage loader), speed (its speed answer), identify (the flash\n"
           "                         identification query), erase (once the erase has begun), program (the\n"
           "                         first programming frame), complete (when the completion mark is due)\n"
           "\n"
           "  --help                 this text\n"
           "\n"
           "Exit codes: 0 stopped or done, 1 could not start, 2 bad options, 3 the line was hung up "
           "(fault),\n"
           "4 strict-mode violations were recorded.\n";
}

SimParse ParseSimOptions(const std::vector<std::string>& args, SimOptions& o) {
    SimParse r;
    auto fail = [&r](const std::string& msg) {
        r.ok = false;
        r.error = msg;
        return r;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            r.help = true;
            r.ok = true;
            return r;
        }
        if (a == "--raw") {
            o.raw = true;
            continue;
        }
        if (a == "--once") {
            o.once = true;
            continue;
        }
        if (a == "--strict") {
            o.strict = true;
            continue;
        }
        if (a == "--rio-nak") {
            o.rioNak = true;
            continue;
        }
        if (a == "--pfld-no-rec-wait") {
            o.pfldRecordWait = false;
            continue;
        }
        if (a.rfind("--", 0) != 0)
            return fail("unexpected argument: " + a);
        if (i + 1 >= args.size())
            return fail("option " + a + " needs a value");
        const std::string& v = args[++i];
        uint64_t n = 0;
        auto num = [&](uint64_t limit) {
            if (!ParseNumber(v, limit, n)) {
                r.error = "bad value for " + a + ": " + v;
                return false;
            }
            return true;
        };
        auto ms = [&](uint32_t& field) {
            if (!num(3600000))
                return false;
            field = static_cast<uint32_t>(n);
            return true;
        };
        bool ok = true;
        if (a == "--link")
            o.linkPath = v;
        else if (a == "--once-linger")
            ok = ms(o.onceLingerMs);
        else if (a == "--transcript")
            o.transcriptPath = v;
        else if (a == "--stats")
            o.statsPath = v;
        else if (a == "--start") {
            if (v == "firmware")
                o.start = SimStartStage::Firmware;
            else if (v == "pfld")
                o.start = SimStartStage::Pfld;
            else
                return fail("--start takes firmware or pfld");
        } else if (a == "--fw-baud") {
            ok = num(115200) && (n == 0 || ValidBaud(n));
            if (!ok)
                return fail("bad rate for --fw-baud: " + v);
            o.fwBaud = static_cast<uint32_t>(n);
        } else if (a == "--pfld-baud") {
            ok = num(115200) && ValidBaud(n);
            if (!ok)
                return fail("bad rate for --pfld-baud: " + v);
            o.pfldBaud = static_cast<uint32_t>(n);
        } else if (a == "--type") {
            if (!FieldText(v, 4) || v.size() != 4)
                return fail("--type takes 4 printable characters");
            o.type = v;
        } else if (a == "--model" || a == "--version" || a == "--options" || a == "--serial" ||
                   a == "--reboot-version" || a == "--reboot-serial" || a == "--reboot-options") {
            if (!FieldText(v, 40))
                return fail("bad text for " + a + " (1..40 printable characters, no , * $)");
            (a == "--model"            ? o.model
             : a == "--version"        ? o.version
             : a == "--options"        ? o.options
             : a == "--serial"         ? o.serial
             : a == "--reboot-version" ? o.rebootVersion
             : a == "--reboot-serial"  ? o.rebootSerial
             : a == "--reboot-options" ? o.rebootOptions
                                       : o.serial) = v;
        } else if (a == "--swap-to") {
            std::vector<std::string> parts(1);
            for (char c : v)
                if (c == ':')
                    parts.emplace_back();
                else
                    parts.back().push_back(c);
            bool good = parts.size() == 2 || parts.size() == 3;
            for (const std::string& part : parts)
                good = good && FieldText(part, 40);
            if (!good)
                return fail("--swap-to takes MODEL:SERIAL[:VERSION] (1..40 printable characters each, no "
                            ", * $ :)");
            o.swapModel = parts[0];
            o.swapSerial = parts[1];
            o.swapVersion = parts.size() == 3 ? parts[2] : std::string();
        } else if (a == "--swap-at") {
            if (v == "upl")
                o.swapAt = SimSwapAt::Upl;
            else if (v == "loader")
                o.swapAt = SimSwapAt::Loader;
            else if (v == "restart")
                o.swapAt = SimSwapAt::Restart;
            else if (v.rfind("frame:", 0) == 0 && ParseNumber(v.substr(6), 0xFFFFFFFFu, n) && n >= 1) {
                o.swapAt = SimSwapAt::Frame;
                o.swapFrame = static_cast<uint32_t>(n);
            } else
                return fail("--swap-at takes upl, loader, frame:K or restart");
        } else if (a == "--count") {
            ok = num(64) && n >= 1;
            o.count = static_cast<uint32_t>(n);
        } else if (a == "--flash-id-bytes") {
            ok = num(8) && n >= 1;
            o.flashIdBytes = static_cast<uint32_t>(n);
        } else if (a == "--nmea-noise")
            ok = ms(o.nmeaNoiseMs);
        else if (a == "--pfld-version") {
            if (!FieldText(v, 40))
                return fail("bad text for --pfld-version");
            o.pfldVersion = v;
        } else if (a == "--hello-interval") {
            ok = ms(o.helloIntervalMs) && o.helloIntervalMs > 0;
        } else if (a == "--flash-cfi") {
            ok = num(255);
            o.flashCfi = static_cast<uint8_t>(n);
        } else if (a == "--flash-maker") {
            ok = num(255);
            o.flashMaker = static_cast<uint8_t>(n);
        } else if (a == "--flash-device") {
            ok = num(0xFFFF);
            o.flashDevice = static_cast<uint16_t>(n);
        } else if (a == "--flash-size") {
            ok = num(0xFFFFFFFFu);
            o.flashSizeReport = static_cast<uint32_t>(n);
        } else if (a == "--flash-short") {
            ok = num(255);
            o.flashShortType = static_cast<int>(n);
            if (o.flashIdBytes == 8)
                o.flashIdBytes = 1;
        } else if (a == "--boot-reload") {
            if (v == "grant")
                o.bootReloadGrant = true;
            else if (v == "refuse")
                o.bootReloadGrant = false;
            else
                return fail("--boot-reload takes grant or refuse");
        } else if (a == "--sector-size") {
            ok = num(FLASH_BYTES) && n >= 0x400 && (n & (n - 1)) == 0;
            o.sectorSize = static_cast<uint32_t>(n);
        } else if (a == "--boot-sectors") {
            ok = num(64) && n >= 1;
            o.bootSectors = static_cast<uint32_t>(n);
        } else if (a == "--flash-in")
            o.flashIn = v;
        else if (a == "--flash-out")
            o.flashOut = v;
        else if (a == "--erase-ms")
            ok = ms(o.eraseMs);
        else if (a == "--program-ms")
            ok = ms(o.programMs);
        else if (a == "--record-timeout")
            ok = ms(o.recordTimeoutMs) && o.recordTimeoutMs > 0;
        else if (a == "--finish-delay")
            ok = ms(o.finishDelayMs);
        else if (a == "--reboot-ms")
            ok = ms(o.rebootMs);
        else if (a == "--loader-idle-reboot")
            ok = ms(o.loaderIdleRebootMs);
        else if (a == "--hangup-at") {
            o.hangupAt = SimPhase::None;
            for (const auto& e : g_Phases)
                if (v == e.name)
                    o.hangupAt = e.phase;
            if (o.hangupAt == SimPhase::None)
                return fail("unknown phase for --hangup-at: " + v);
        } else if (a == "--fault") {
            if (o.fault != SimFault::None)
                return fail("only one --fault at a time");
            std::string name = v, arg;
            size_t colon = v.find(':');
            if (colon != std::string::npos) {
                name = v.substr(0, colon);
                arg = v.substr(colon + 1);
            }
            const FaultEntry* found = nullptr;
            for (const FaultEntry& e : g_Faults)
                if (name == e.name)
                    found = &e;
            if (!found)
                return fail("unknown fault: " + name);
            o.fault = found->fault;
            o.faultArg = found->defaultArg;
            if (found->needsArg && arg.empty())
                return fail("fault " + name + " needs a frame number (" + name + ":K)");
            if (!arg.empty()) {
                if (!ParseNumber(arg, 3600000, n) || n < found->minArg)
                    return fail("bad number for fault " + name + ": " + arg);
                o.faultArg = static_cast<uint32_t>(n);
            }
        } else
            return fail("unknown option: " + a);
        if (!ok)
            return fail(r.error.empty() ? "bad value for " + a + ": " + v : r.error);
    }
    // The sector count goes out as one byte.
    uint64_t sectors = FLASH_BYTES / o.sectorSize - 1 + o.bootSectors;
    if (o.sectorSize / o.bootSectors < 0x100 || o.sectorSize % o.bootSectors != 0)
        return fail("--boot-sectors must split the sector into equal parts of at least 256 bytes");
    if (sectors > 255)
        return fail("the flash would have " + std::to_string(sectors) + " sectors; at most 255 are allowed");
    r.ok = true;
    return r;
}
