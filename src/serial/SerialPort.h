#pragma once
// The serial port on a termios device. Callers never touch the device: Send queues into txRing and the
// transmit thread writes it out; the receive thread moves every arriving byte into rxRing, from which
// ReadByte takes without waiting and for which WaitRx blocks. Both threads wait in poll on the device and an
// eventfd, so Close can always end them; a device that hangs up is left alone until Close.

#include "serial/SerialPortBase.h"

#include <cstdint>
#include <linux/serial.h>
#include <string>

class CSerialPort : public CSerialPortBase {
public:
    explicit CSerialPort(CChannel& channel);
    ~CSerialPort() override;

    void Close() override;
    int IsOpen() override;
    bool ReadByte(uint8_t& b) override;
    bool SendByte(uint8_t b) override;
    bool SendString(const char* text) override;
    bool Send(const uint8_t* data, uint32_t count) override;
    int IsTxDone() override;
    int TxQueued() override;
    void SetBaudIndex(int index) override;
    int GetPortId() override;
    int GetBaudIndex() override;
    void Purge() override;
    int CharTimeMs(int count) override;
    void CheckPresence() override;
    bool WaitRx(uint32_t ms) override;
    void WakeWaiters() override;

    // Opens g_PortNames[portIndex] with the stored settings and starts both threads. True also for slot 0
    // ("OFF"), which opens nothing. The path is looked at first and a device that is no serial port is
    // never opened for reading and writing; with required, neither is a device other than that one.
    bool Open(const PortIdentity* required = nullptr);
    // The device the port has open (or had open last).
    PortIdentity Identity();
    // A sentence saying the last Open's failure; "" after a successful one.
    std::string OpenFaultText();
    // Hands out an unreported error text once.
    bool TakeError(std::string& text);
    // Reads and clears the line errors and the queue counts; returns errorFlag. Transmit thread only.
    int PollErrors();
    // PollErrors' end: stores the queue counts and errorFlag and adds the texts of the flags; returns
    // errorFlag.
    int PublishErrors(unsigned flags, int in, int out);
    // Settings for the next Open.
    void SetParity(uint8_t selector);
    void SetStopBits(uint8_t selector);
    // Stores baudIndex and its rate without touching the device.
    void SetBaudSetting(int index);

private:
    bool FailOpen(const std::string& name, bool locked);
    bool FailOpen(const std::string& name, OpenFault fault, const std::string& cause);
    // Resets the per-open state and starts both threads on the device Open has just set up.
    // The platform's half of Open, under m_OpenLock with the port closed: looks at name, opens it and
    // starts the threads, or fails with the cause.
    bool OpenDevice(const std::string& name, const PortIdentity* required);
    bool StartThreads(const PortIdentity& identity);
    // Stops both threads, then closes the device.
    void CloseLocked();
    // The platform's half of CloseLocked once the threads ended: the abort signals, a bounded drain, the
    // device.
    void CloseDevice();
    bool DeviceGone();
    // An errno that means the device has gone (unplugged, terminal master closed).
    static bool IsGoneError(int err);
    void StopTxThread();
    void StopRxThread();
    // Ends the thread's wait on the device (the platform's abort signal).
    void SignalTxAbort();
    void SignalRxAbort();
    void RxThread();
    void TxThread();
    // Writes txRing out; a write cut short keeps its rest in chunk[off..len) for the next pass.
    void WriteOut(uint8_t* chunk, size_t& len, size_t& off);
    void ApplyBaud();
    void MarkHungUp();
    void NotifyRx();
    // Kicks the transmit thread and waits up to REPLY_WAIT_MS for a pass that began after the kick; true
    // with that pass's idle answer, false when none came.
    bool AskTxThread(int& idle);
    void AnswerTx(uint64_t request, int idle);

    // The device and the two abort eventfds; set by Open before the threads start, reset by Close after
    // they ended, so the threads read them freely. Other callers take m_OpenLock.
    int m_Fd = -1;
    int m_TxAbortFd = -1;
    int m_RxAbortFd = -1;

    // Line settings of the open device (the receive thread decodes parity marks only with parity on).
    uint8_t m_LineParity = 0;
    // Transmit thread only (and Open before it starts): the last line-error counters.
    serial_icounter_struct m_LastCounts{};
    bool m_HaveCounts = false;
};
