#include "Process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

pid_t Spawn(const std::vector<std::string>& argv, const EnvChanges& env, int& outFd) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return -1;
    pid_t pid = fork();
    if (pid < 0) {
        close(pipeFds[0]);
        close(pipeFds[1]);
        return -1;
    }
    if (pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0)
            dup2(devnull, STDIN_FILENO);
        for (const auto& [name, value] : env) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(pipeFds[1]);
    outFd = pipeFds[0];
    return pid;
}

int DecodeStatus(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Reads what is there within waitMs; false at the end of the output.
bool ReadSome(int fd, std::string& into, int waitMs) {
    pollfd p{fd, POLLIN, 0};
    int r = poll(&p, 1, waitMs);
    if (r <= 0)
        return true;
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
        into.append(buffer, static_cast<size_t>(n));
        return true;
    }
    return n < 0 && errno == EINTR;
}

} // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const EnvChanges& env, unsigned timeoutMs) {
    ProcessResult result;
    int fd = -1;
    pid_t pid = Spawn(argv, env, fd);
    if (pid < 0)
        return result;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    bool open = true;
    while (open && Clock::now() < deadline)
        open = ReadSome(fd, result.out, 50);
    int status = 0;
    while (Clock::now() < deadline) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            close(fd);
            result.exitCode = DecodeStatus(status);
            return result;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    result.timedOut = true;
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    close(fd);
    return result;
}

CChildProcess::~CChildProcess() {
    if (m_Pid > 0)
        Stop(2000);
    if (m_Out >= 0)
        close(m_Out);
}

bool CChildProcess::Start(const std::vector<std::string>& argv, const EnvChanges& env) {
    if (m_Out >= 0)
        close(m_Out);
    m_Buffer.clear();
    m_Pid = Spawn(argv, env, m_Out);
    return m_Pid > 0;
}

std::optional<std::string> CChildProcess::FirstLine(unsigned timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
        size_t nl = m_Buffer.find('\n');
        if (nl != std::string::npos)
            return m_Buffer.substr(0, nl);
        if (!ReadSome(m_Out, m_Buffer, 50))
            break;
    }
    return std::nullopt;
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
    if (m_Pid <= 0)
        return m_Status;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
        int status = 0;
        // Keep the pipe drained so the child never blocks on a full pipe.
        ReadSome(m_Out, m_Buffer, 0);
        if (waitpid(m_Pid, &status, WNOHANG) == m_Pid) {
            m_Pid = -1;
            m_Status = DecodeStatus(status);
            return m_Status;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

int CChildProcess::Stop(unsigned timeoutMs) {
    if (m_Pid <= 0)
        return m_Status;
    kill(m_Pid, SIGTERM);
    int code = Wait(timeoutMs);
    if (m_Pid > 0) {
        kill(m_Pid, SIGKILL);
        int status = 0;
        waitpid(m_Pid, &status, 0);
        m_Pid = -1;
        m_Status = -1;
    }
    return code;
}
