#pragma once
// One running program per user session: a lock file in the temporary folder, plus a local server through
// which a second start asks the first to come to the front.

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <functional>
#include <memory>
#include <string>

class CSingleInstance : public QObject {
public:
    static constexpr const char* MUTEX_NAME = "TZ5_4_FW_loader_one_instance__MUTEX";

    explicit CSingleInstance(const std::string& name = MUTEX_NAME);
    ~CSingleInstance() override;

    // True when this is the only instance (the lock is held from now on). False when another holds it: that
    // one has been asked to raise its window.
    bool Acquire();
    void Release();
    // What a raise request from a later start does.
    void SetRaiseHandler(std::function<void()> handler) { m_Raise = std::move(handler); }

    QString LockPath() const;

private:
    void OnConnection();

    std::string m_Name;
    std::unique_ptr<QLockFile> m_Lock;
    std::unique_ptr<QLocalServer> m_Server;
    std::function<void()> m_Raise;
};
