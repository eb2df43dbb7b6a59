#pragma once
// SIGINT and SIGTERM for an unattended run. The first one is handed to the dialog's thread through a pipe
// (the handler only writes one byte, which is safe in a handler) and read there by a socket notifier or by
// Poll from a wait; a second one ends the process at once with 128 + its number.

#include <QObject>
#include <functional>
#include <memory>
#include <string>

class QSocketNotifier;

class CSignalWatch : public QObject {
public:
    // onSignal gets a text naming the signal ("SIGINT").
    explicit CSignalWatch(std::function<void(const std::string&)> onSignal);
    ~CSignalWatch() override;
    CSignalWatch(const CSignalWatch&) = delete;
    CSignalWatch& operator=(const CSignalWatch&) = delete;

    // Reads a signal that has arrived and hands it on; for waits that keep the event loop from running.
    void Poll();
    // True once a first signal has arrived, also after the dialog has ended (the waits after it end then).
    static bool Arrived();

private:
    std::function<void(const std::string&)> m_OnSignal;
    std::unique_ptr<QSocketNotifier> m_Notifier;
};
