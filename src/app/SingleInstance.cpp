#include "SingleInstance.h"

#include <QDir>
#include <QLocalSocket>

CSingleInstance::CSingleInstance(const std::string& name) : m_Name(name) {}

CSingleInstance::~CSingleInstance() {
    Release();
}

QString CSingleInstance::LockPath() const {
    return QDir(QDir::tempPath()).filePath(QString::fromStdString(m_Name) + QStringLiteral(".lock"));
}

bool CSingleInstance::Acquire() {
    m_Lock = std::make_unique<QLockFile>(LockPath());
    // A lock left by a program that has died is taken over (its process is checked).
    m_Lock->setStaleLockTime(0);
    if (!m_Lock->tryLock(0)) {
        QLockFile::LockError error = m_Lock->error();
        m_Lock.reset();
        if (error != QLockFile::LockFailedError)
            return true; // The lock cannot be made at all: run without the protection.
        QLocalSocket socket;
        socket.connectToServer(QString::fromStdString(m_Name));
        if (socket.waitForConnected(1000)) {
            socket.write("raise\n");
            socket.waitForBytesWritten(1000);
            socket.disconnectFromServer();
        }
        return false;
    }
    m_Server = std::make_unique<QLocalServer>();
    QLocalServer::removeServer(QString::fromStdString(m_Name));
    if (m_Server->listen(QString::fromStdString(m_Name)))
        connect(m_Server.get(), &QLocalServer::newConnection, this, &CSingleInstance::OnConnection);
    return true;
}

void CSingleInstance::Release() {
    if (m_Server) {
        m_Server->close();
        m_Server.reset();
    }
    if (m_Lock) {
        m_Lock->unlock();
        m_Lock.reset();
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
