#include "Process.h"

#include <fstream>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Reads what is there within waitMs; false at the end of the output.
bool ReadSome(int fd, std::string& into, int waitMs) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, waitMs) <= 0)
        return true;
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0)
        into.append(buffer, static_cast<size_t>(n));
    return n > 0 || (n < 0 && errno == EINTR);
}

} // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const EnvChanges& env, unsigned timeoutMs) {
    CChildProcess child;
    ProcessResult result;
    if (!child.Start(argv, env))
        return result;
    result.exitCode = child.Wait(timeoutMs);
    result.timedOut = child.Running();
    result.out = child.Output();
    return result;
}

CChildProcess::~CChildProcess() {
    Stop(2000);
    if (m_Out >= 0)
        close(m_Out);
}

bool CChildProcess::Start(const std::vector<std::string>& argv, const EnvChanges& env) {
    if (m_Out >= 0)
        close(m_Out);
    m_Buffer.clear();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    m_Pid = fork();
    if (m_Pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, STDIN_FILENO);
        for (const auto& [name, value] : env)
            value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    m_Out = fds[0];
    return m_Pid > 0;
}

std::optional<std::string> CChildProcess::FirstLine(unsigned timeoutMs) {
    if (!WaitForOutput("\n", timeoutMs))
        return std::nullopt;
    return m_Buffer.substr(0, m_Buffer.find('\n'));
}

bool CChildProcess::WaitForOutput(const std::string& text, unsigned timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_Buffer.find(text) == std::string::npos)
        if (Clock::now() >= deadline || !ReadSome(m_Out, m_Buffer, 50))
            return m_Buffer.find(text) != std::string::npos;
    return true;
}

void CChildProcess::Signal(int sig) {
    if (m_Pid > 0)
        kill(m_Pid, sig);
}

int CChildProcess::Wait(unsigned timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_Pid > 0 && Clock::now() < deadline) {
        int status = 0;
        // Keep the pipe drained so the child never blocks on a full pipe.
        bool open = ReadSome(m_Out, m_Buffer, 20);
        if (waitpid(m_Pid, &status, WNOHANG) == m_Pid) {
            for (size_t before = 0; before != m_Buffer.size();) {
                before = m_Buffer.size();
                ReadSome(m_Out, m_Buffer, 0);
            }
            m_Pid = -1;
            m_Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        } else if (!open) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    return m_Pid > 0 ? -1 : m_Status;
}

int CChildProcess::Stop(unsigned timeoutMs) {
    if (m_Pid <= 0)
        return m_Status;
    kill(m_Pid, SIGTERM);
    int code = Wait(timeoutMs);
    if (m_Pid > 0) {
        kill(m_Pid, SIGKILL);
        waitpid(m_Pid, nullptr, 0);
        m_Pid = -1;
        m_Status = -1;
    }
    return code;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> FastSimArgs(const std::string& binDir, const std::vector<std::string>& extra) {
    std::vector<std::string> argv = {binDir + "/kavrel-sim", "--raw", "--finish-delay", "200",
                                     "--reboot-ms",          "300",   "--erase-ms",     "20"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return argv;
}
