#pragma once
// The command line of the program: options "i" (image), "p" (port), "m" (message boxes off), "n" (no
// single-instance check), "l" (log file), each with '-', '/' or nothing in front, plus --help, --version and
// --list-ports and the unattended run's --verify, --skip-blank and --completion-limit.

#include <cstdint>
#include <string>
#include <vector>

class CCommandLineInfo {
public:
    static constexpr size_t IMAGE_LIMIT = 254;
    static constexpr size_t PORT_LIMIT = 255;
    static constexpr size_t LOG_LIMIT = 255;

    // One parameter as it stands on the command line.
    void ParseParam(const std::string& param);
    // Every parameter after the program name, in order.
    void Parse(const std::vector<std::string>& params);
    void Parse(int argc, char** argv);

    // Both an image and a port: one upload without anyone at the keyboard.
    bool IsAutoMode() const { return m_ImageFlag && m_PortFlag; }
    // Empty when the texts are within their limits, otherwise what to tell the user.
    std::string LimitError() const;

    bool m_ImageFlag = false;
    bool m_PortFlag = false;
    bool m_MsgOffFlag = false;
    bool m_NoMutexFlag = false;
    bool m_LogFlag = false;
    std::string m_Image;
    std::string m_Port;
    std::string m_LogName;

    bool m_Verify = false;
    bool m_SkipBlank = false;
    static constexpr uint32_t COMPLETION_LIMIT_MIN_MS = 1000;
    static constexpr uint32_t COMPLETION_LIMIT_MAX_MS = 3600000;
    uint32_t m_CompletionLimitMs = 0; // 0: the job's own limit
    bool m_Help = false;
    bool m_Version = false;
    bool m_ListPorts = false;

private:
    static bool IsOption(const std::string& param);
    void TakeCompletionLimit(const std::string& text);
    // The first parameter after an option becomes its text, once; an over-long one is noted, never cut.
    void TakeText(bool flag, std::string& text, size_t limit, const char* what, const std::string& param);

    std::string m_LimitError;
    // The log text is settled: taken, or an option followed "l" (the default name then).
    bool m_LogNameDone = false;
};

// The --help text.
std::string UsageText(const std::string& programName);
