#include "CommandLine.h"

#include <cstdlib>

namespace {

// A parameter whose rest after a '-' or '/' is one of the option letters.
bool IsPrefixedOption(const std::string& param) {
    if (param.size() != 2 || (param[0] != '-' && param[0] != '/'))
        return false;
    char c = param[1];
    return c == 'i' || c == 'p' || c == 'm' || c == 'n' || c == 'l';
}

} // namespace

void CCommandLineInfo::TakeText(bool flag, std::string& text, size_t limit, const char* what,
                                const std::string& param) {
    if (!flag || !text.empty())
        return;
    // Paths here begin with '/', so a text keeps its leading character; only an option letter written as
    // an option ("-p") is taken as its bare letter, as the option rule reads it.
    text = IsPrefixedOption(param) ? param.substr(1) : param;
    if (text.size() > limit && m_LimitError.empty())
        m_LimitError = std::string(what) + " is longer than " + std::to_string(limit) + " characters";
}

void CCommandLineInfo::ParseParam(const std::string& param) {
    TakeText(m_ImageFlag, m_Image, IMAGE_LIMIT, "the image path", param);
    TakeText(m_PortFlag, m_Port, PORT_LIMIT, "the port name", param);
    TakeText(m_LogFlag, m_LogName, LOG_LIMIT, "the log file name", param);

    std::string name = param;
    if (!name.empty() && (name[0] == '-' || name[0] == '/'))
        name.erase(0, 1);
    if (name == "i")
        m_ImageFlag = true;
    else if (name == "p")
        m_PortFlag = true;
    else if (name == "m")
        m_MsgOffFlag = true;
    else if (name == "n")
        m_NoMutexFlag = true;
    else if (name == "l")
        m_LogFlag = true;
}

void CCommandLineInfo::Parse(const std::vector<std::string>& params) {
    for (size_t i = 0; i < params.size(); ++i) {
        const std::string& param = params[i];
        if (param == "--help")
            m_Help = true;
        else if (param == "--version")
            m_Version = true;
        else if (param == "--verify")
            m_Verify = true;
        else if (param == "--skip-blank")
            m_SkipBlank = true;
        else if (param == "--list-ports")
            m_ListPorts = true;
        else if (param == "--completion-limit")
            TakeCompletionLimit(i + 1 < params.size() ? params[++i] : std::string());
        else
            ParseParam(param);
    }
}

void CCommandLineInfo::Parse(int argc, char** argv) {
    std::vector<std::string> params;
    for (int i = 1; i < argc; ++i)
        params.emplace_back(argv[i] ? argv[i] : "");
    Parse(params);
}

// A line that restarts receivers without the completion mark need not wait the full minute for it.
void CCommandLineInfo::TakeCompletionLimit(const std::string& text) {
    char* end = nullptr;
    unsigned long ms = text.empty() || text[0] == '-' ? 0 : std::strtoul(text.c_str(), &end, 10);
    if (end != nullptr && *end == '\0' && ms >= COMPLETION_LIMIT_MIN_MS && ms <= COMPLETION_LIMIT_MAX_MS)
        m_CompletionLimitMs = static_cast<uint32_t>(ms);
    else if (m_LimitError.empty())
        m_LimitError = "--completion-limit takes milliseconds from " +
                       std::to_string(COMPLETION_LIMIT_MIN_MS) + " to " +
                       std::to_string(COMPLETION_LIMIT_MAX_MS);
}

std::string CCommandLineInfo::LimitError() const {
    return m_LimitError;
}

std::string UsageText(const std::string& programName) {
    return "Usage: " + programName +
           " [-i IMAGE] [-p PORT] [-m] [-n] [-l [LOGFILE]]\n"
           "Writes a firmware or options image into a GNSS receiver over a serial port.\n"
           "\n"
           "Options may be written with '-', '/' or nothing in front; the text of an option is the\n"
           "parameter that follows it.\n"
           "  -i IMAGE    image file (image-union or Options file) to upload\n"
           "  -p PORT     serial port, as a device path (/dev/ttyUSB0, /dev/pts/3) or its by-id name\n"
           "              (/dev/serial/by-id/...), which stays the same when the adapter is plugged in "
           "again;\n"
           "              without -i the dialog opens with this port added to its list and chosen\n"
           "  -m          no message boxes: every question counts as answered with OK\n"
           "  -n          no single-instance check\n"
           "  -l LOGFILE  write the log file from the start (\"terminal.log\" when no name follows)\n"
           "  --verify    unattended: a receiver that does not report the image after its restart\n"
           "              ends the run with exit code 5 (the check is always made and printed)\n"
           "  --skip-blank  do not send frames whose bytes are all 0xFF (the erase left them so)\n"
           "  --completion-limit MS\n"
           "              how long to wait for the receiver's completion mark after the last frame\n"
           "              (60000 ms unless given)\n"
           "  --help      show this text and exit\n"
           "  --version   show the program version and exit\n"
           "  --list-ports\n"
           "              list the serial ports with what the system knows of each (USB product,\n"
           "              maker, serial number, /dev/serial/by-id name) and exit\n"
           "\n"
           "With both -i and -p the program uploads the image unattended, echoes its status lines to\n"
           "standard output and ends with one of these exit codes:\n"
           "  0  upload complete\n"
           "  1  window closed by the user, or stopped by SIGINT/SIGTERM (see below)\n"
           "  2  port not found or could not be used: not there, not a serial port, held by another\n"
           "     program or not permitted (the last line says which), or a command-line text is too long\n"
           "  3  the image file is not a valid image\n"
           "  4  no receiver answered\n"
           "  5  the upload failed (or, with --verify, was not verified)\n"
           "0 always means the receiver was flashed. An unattended run does not look for another running\n"
           "Kavrel: the port is opened exclusively, so a port in use ends the run with 2 and says so.\n"
           "A receiver whose port goes away during the upload ends the run with 5 and the line\n"
           "\"the receiver's port went away\".\n"
           "A first SIGINT or SIGTERM stops the run as closing the window would: a running upload is "
           "cancelled\n"
           "(flash writing is stopped, which leaves the receiver in its loader with its flash incomplete), "
           "the\n"
           "program says where the receiver stands, completes the log and ends with 1 (0 if the upload had\n"
           "completed). A second signal ends the program at once with 128 + the signal's number.\n"
           "Without a display (no DISPLAY or WAYLAND_DISPLAY) the unattended upload runs without a window.\n";
}
