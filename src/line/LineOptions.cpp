#include "LineOptions.h"

#include "line/PortWatch.h"

#include <cerrno>
#include <cstdlib>

namespace {

bool Number(const std::string& text, uint32_t& value) {
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long v = std::strtoul(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v > 3600000)
        return false;
    value = static_cast<uint32_t>(v);
    return true;
}

} // namespace

std::string LineUsage() {
    return "Usage: kavrel-line -i IMAGE [options] PORT...\n"
           "       kavrel-line -i IMAGE --watch [PORT-GLOB...] [options]\n"
           "Uploads IMAGE to the receivers on every PORT at once (paths or globs such as\n"
           "'" +
           std::string(DEFAULT_WATCH_GLOB) +
           "'), verifies each one after its restart and ends with a summary.\n"
           "With --watch it flashes every adapter that appears and every receiver plugged in on\n"
           "one, one unit after another per port, until SIGINT or SIGTERM (default glob\n"
           "'" +
           std::string(DEFAULT_WATCH_GLOB) +
           "'). A unit is the receiver: one that holds the image is not\n"
           "flashed again while it answers; any other receiver on that adapter is flashed at once. A\n"
           "failed unit waits until it is unplugged (or --retries N more attempts).\n"
           "An Options image (which carries one serial number) goes to one unit per run unless\n"
           "--allow-same-serial is given; a batch with more ports is refused.\n"
           "\n"
           "Options:\n"
           "  -i, --image FILE          image file to upload (required)\n"
           "  --watch                   watch mode\n"
           "  --json FILE               append one JSON object per unit to FILE (JSON Lines)\n"
           "  --log-dir DIR             write one log file per unit into DIR\n"
           "  --station NAME            station name in records and logs (default: the host name)\n"
           "  --operator NAME, --lot ID recorded with every unit\n"
           "  --retries N               watch: flash a failed unit again up to N times (default 0)\n"
           "  --allow-same-serial       write an Options image to more than one unit\n"
           "  --skip-blank              do not send frames whose bytes are all 0xFF (the erase left\n"
           "                            them so); off by default, a loader might expect every frame\n"
           "  --completion-limit MS     wait for the receiver's completion mark (default 60000)\n"
           "  --verify-limit MS         wait for the restarted receiver to identify itself (default\n"
           "                            20000)\n"
           "  --help, --version\n"
           "\n"
           "Exit code: 0 when every unit passed, otherwise the highest code of a unit:\n"
           "  1 interrupted, 2 port not found or not usable, 3 image not valid, 4 no receiver,\n"
           "  5 upload incomplete, not verified or disconnected, 6 a record or log could not be\n"
           "  written. A second SIGINT or SIGTERM ends the station at once.\n";
}

bool ParseLineOptions(int argc, char** argv, LineOptions& o, std::string& error) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return false;
            }
            out = argv[++i];
            return true;
        };
        auto number = [&](uint32_t& out) {
            std::string text;
            if (!value(text))
                return false;
            if (!Number(text, out)) {
                error = arg + ": not a number of milliseconds: " + text;
                return false;
            }
            return true;
        };
        bool ok = true;
        if (arg == "--help" || arg == "-h")
            o.help = true;
        else if (arg == "--version")
            o.version = true;
        else if (arg == "-i" || arg == "--image")
            ok = value(o.config.image);
        else if (arg == "--watch")
            o.config.watch = true;
        else if (arg == "--json")
            ok = value(o.json);
        else if (arg == "--log-dir")
            ok = value(o.config.logDir);
        else if (arg == "--station")
            ok = value(o.station);
        else if (arg == "--operator")
            ok = value(o.operatorName);
        else if (arg == "--lot")
            ok = value(o.lot);
        else if (arg == "--retries") {
            std::string text;
            ok = value(text);
            if (ok && (!Number(text, o.config.retries) || o.config.retries > 100)) {
                error = arg + ": not a number from 0 to 100: " + text;
                return false;
            }
        } else if (arg == "--allow-same-serial")
            o.config.allowSameSerial = true;
        else if (arg == "--skip-blank")
            o.config.skipBlank = true;
        else if (arg == "--completion-limit")
            ok = number(o.config.completionLimitMs);
        else if (arg == "--verify-limit")
            ok = number(o.config.verifyLimitMs);
        else if (arg.size() > 1 && arg[0] == '-') {
            error = "unknown option " + arg;
            return false;
        } else
            o.ports.push_back(arg);
        if (!ok)
            return false;
    }
    if (o.help || o.version)
        return true;
    if (o.config.image.empty()) {
        error = "no image: -i IMAGE is required";
        return false;
    }
    if (!o.config.watch && o.ports.empty()) {
        error = "no port given";
        return false;
    }
    if (o.config.watch && o.ports.empty())
        o.ports.push_back(DEFAULT_WATCH_GLOB);
    return true;
}
