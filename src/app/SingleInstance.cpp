#include "SingleInstance.h"

#include "core/Clock.h"

#include <QLocalSocket>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// How long a second start keeps trying to reach the first: it may be starting up itself.
constexpr uint32_t RAISE_LIMIT_MS = 3000;

std::string ErrorText(int error) {
    return std::strerror(error);
}

// A folder only this user can write into: a directory (not a link to one) owned by the user.
bool OwnFolder(const std::string& path, bool followLink, std::string& problem) {
    struct stat st {};
    if ((followLink ? stat(path.c_str(), &st) : lstat(path.c_str(), &st)) != 0) {
        problem = path + ": " + ErrorText(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        problem = path + " is not a folder";
        return false;
    }
    if (st.st_uid != geteuid()) {
        problem = path + " belongs to another user (uid " + std::to_string(st.st_uid) + ")";
        return false;
    }
    if ((st.st_mode & 022) != 0) {
        problem = path + " may be written by other users";
        return false;
    }
    return true;
}

} // namespace

CSingleInstance::CSingleInstance(const std::string& name) : m_Name(name) {}

CSingleInstance::~CSingleInstance() {
    Release();
}

std::string CSingleInstance::LockFolder(std::string& problem) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string ignored;
    if (runtime && *runtime == '/' && OwnFolder(runtime, true, ignored))
        return runtime;
    std::error_code error;
    std::string temp = std::filesystem::temp_directory_path(error).string();
    if (error || temp.empty())
        temp = "/tmp";
    while (temp.size() > 1 && temp.back() == '/')
        temp.pop_back();
    std::string folder = temp + "/kavrel-" + std::to_string(geteuid());
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        problem = "cannot make " + folder + ": " + ErrorText(errno);
        return {};
    }
    if (!OwnFolder(folder, false, problem))
        return {};
    return folder;
}

int CSingleInstance::OpenAndLock() {
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = open(m_LockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
        std::string why;
        if (fd < 0) {
            why = "could not be opened (" + ErrorText(errno) + ")";
        } else {
            struct stat st {};
            if (fstat(fd, &st) != 0)
                why = "could not be examined (" + ErrorText(errno) + ")";
            else if (!S_ISREG(st.st_mode))
                why = "is not a plain file";
            else if (st.st_uid != geteuid())
                why = "belonged to another user (uid " + std::to_string(st.st_uid) + ")";
        }
        if (why.empty()) {
            if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
                // The process id is for people looking at the file; the lock itself is the kernel's.
                std::string pid = std::to_string(getpid()) + "\n";
                if (ftruncate(fd, 0) == 0) {
                    ssize_t written = write(fd, pid.data(), pid.size());
                    (void)written;
                }
                return fd;
            }
            int error = errno;
            close(fd);
            errno = error;
            return -1;
        }
        if (fd >= 0)
            close(fd);
        // The folder is the user's own, so whatever sits at the lock's name may go.
        std::error_code error;
        std::filesystem::remove(m_LockPath, error);
        m_TakenOver = "the single-instance lock " + m_LockPath + " " + why + " and was replaced";
        if (error) {
            errno = error.value();
            return -1;
        }
    }
    errno = EEXIST;
    return -1;
}

CSingleInstance::Outcome CSingleInstance::Acquire() {
    std::string problem;
    std::string folder = LockFolder(problem);
    if (folder.empty()) {
        m_Problem = "no private folder for the single-instance lock: " + problem;
        return Outcome::Unprotected;
    }
    m_LockPath = folder + "/" + m_Name + ".lock";
    m_SocketPath = folder + "/" + m_Name + ".socket";
    uint32_t start = TickMs();
    for (;;) {
        m_Fd = OpenAndLock();
        if (m_Fd >= 0) {
            Listen();
            return Outcome::Acquired;
        }
        if (errno != EWOULDBLOCK) {
            m_Problem = "the single-instance lock " + m_LockPath + " cannot be used: " + ErrorText(errno);
            return Outcome::Unprotected;
        }
        // A live process of this user holds the lock: the dialog that runs already.
        if (AskToRaise())
            return Outcome::Raised;
        if (ElapsedMs(start) > RAISE_LIMIT_MS) {
            m_Problem =
                "another process holds the single-instance lock " + m_LockPath + " but does not answer";
            return Outcome::Unprotected;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

bool CSingleInstance::AskToRaise() {
    QLocalSocket socket;
    socket.connectToServer(QString::fromStdString(m_SocketPath));
    if (!socket.waitForConnected(500))
        return false;
    socket.write("raise\n");
    bool sent = socket.waitForBytesWritten(1000);
    socket.disconnectFromServer();
    return sent;
}

void CSingleInstance::Listen() {
    m_Server = std::make_unique<QLocalServer>();
    m_Server->setSocketOptions(QLocalServer::UserAccessOption);
    // The lock is held, so a socket file left there belongs to a run that has ended.
    QLocalServer::removeServer(QString::fromStdString(m_SocketPath));
    if (m_Server->listen(QString::fromStdString(m_SocketPath)))
        connect(m_Server.get(), &QLocalServer::newConnection, this, &CSingleInstance::OnConnection);
    else
        m_Problem = "a later start cannot reach this one: " + m_Server->errorString().toStdString();
}

void CSingleInstance::Release() {
    if (m_Server) {
        m_Server->close();
        m_Server.reset();
    }
    // The file stays: removing it would let two starts lock two different files.
    if (m_Fd >= 0) {
        close(m_Fd);
        m_Fd = -1;
    }
}

void CSingleInstance::OnConnection() {
    while (QLocalSocket* socket = m_Server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            QByteArray request = socket->readAll();
            if (request.startsWith("raise") && m_Raise)
                m_Raise();
        });
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    }
}
