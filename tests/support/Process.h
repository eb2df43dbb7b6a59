#pragma once
// Child processes for the end-to-end tests: run one to its end with a deadline, or keep one running (the
// simulator) and read its first output line.

#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

struct ProcessResult {
    int exitCode = -1; // -1 when it did not end by itself (killed at the deadline or by a signal)
    bool timedOut = false;
    std::string out;
};

// Environment changes for a child: a value sets the variable, nullopt removes it.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

ProcessResult RunProcess(const std::vector<std::string>& argv, const EnvChanges& env, unsigned timeoutMs);

class CChildProcess {
public:
    CChildProcess() = default;
    ~CChildProcess();
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    bool Start(const std::vector<std::string>& argv, const EnvChanges& env);
    // The first line of standard output, within the limit.
    std::optional<std::string> FirstLine(unsigned timeoutMs);
    // Reads standard output until it holds text; false after the limit.
    bool WaitForOutput(const std::string& text, unsigned timeoutMs);
    const std::string& Output() const { return m_Buffer; }
    void Signal(int sig);
    // Waits for the end; -1 when it did not end within the limit.
    int Wait(unsigned timeoutMs);
    // SIGTERM, then the end (SIGKILL after the limit).
    int Stop(unsigned timeoutMs = 5000);
    bool Running() const { return m_Pid > 0; }

private:
    pid_t m_Pid = -1;
    int m_Out = -1;
    std::string m_Buffer;
    int m_Status = -1;
};

// The whole file, or "" when it cannot be read.
std::string ReadAll(const std::string& path);
// kavrel-sim from binDir without line pacing and with short flash and restart times, then extra.
std::vector<std::string> FastSimArgs(const std::string& binDir, const std::vector<std::string>& extra);
