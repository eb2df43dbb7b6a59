#pragma once
// One running dialog per user: an advisory lock on a file in the user's own runtime folder (or a private
// folder named with the user id in the temporary folder), plus a local socket beside it through which a
// second start asks the first to come to the front. The kernel drops the lock with its process, so a run
// that was killed leaves nothing that keeps the next one out; a lock file that is not the user's own, or
// cannot be opened, is replaced, and what cannot be replaced is reported and the dialog runs unprotected.

#include <QLocalServer>
#include <QObject>
#include <functional>
#include <memory>
#include <string>

class CSingleInstance : public QObject {
public:
    static constexpr const char* MUTEX_NAME = "TZ5_4_FW_loader_one_instance__MUTEX";

    explicit CSingleInstance(const std::string& name = MUTEX_NAME);
    ~CSingleInstance() override;
    CSingleInstance(const CSingleInstance&) = delete;
    CSingleInstance& operator=(const CSingleInstance&) = delete;

    enum class Outcome {
        Acquired,    // this is the one instance from now on
        Raised,      // another instance of this user runs and was asked to come to the front
        Unprotected, // the lock could not be had; Problem() says why, the dialog runs anyway
    };
    Outcome Acquire();
    void Release();
    // What a raise request from a later start does.
    void SetRaiseHandler(std::function<void()> handler) { m_Raise = std::move(handler); }

    // The folder that holds the lock and the socket: $XDG_RUNTIME_DIR when it is the user's own folder,
    // otherwise "<temporary folder>/kavrel-<uid>" (made private when missing). Empty when neither can be
    // used, with the reason in problem.
    static std::string LockFolder(std::string& problem);
    std::string LockPath() const { return m_LockPath; }
    std::string SocketPath() const { return m_SocketPath; }
    // A line for the user: what stood in the way of the lock (empty when nothing did).
    const std::string& Problem() const { return m_Problem; }
    // A line for the user about a lock that was taken over (empty when none was).
    const std::string& TakenOver() const { return m_TakenOver; }

private:
    // Opens and locks the lock file, replacing one that is not the user's own plain file; -1 with errno
    // EWOULDBLOCK when a live process holds it.
    int OpenAndLock();
    bool AskToRaise();
    void Listen();
    void OnConnection();

    std::string m_Name;
    std::string m_LockPath;
    std::string m_SocketPath;
    std::string m_Problem;
    std::string m_TakenOver;
    int m_Fd = -1;
    std::unique_ptr<QLocalServer> m_Server;
    std::function<void()> m_Raise;
};
