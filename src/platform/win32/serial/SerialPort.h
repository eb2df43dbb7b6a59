#pragma once
// The serial port on a Win32 communications device, with the same face as the termios port. Callers never
// touch the device: Send queues into txRing and the transmit thread writes it out with overlapped writes;
// the receive thread keeps one overlapped read outstanding and moves every arriving byte into rxRing, from
// which ReadByte takes without waiting and for which WaitRx blocks. Each thread waits on its I/O event and
// an abort event, so Close can always end them; a device that has gone is left alone until Close.

#include "serial/SerialPortBase.h"

#include <cstdint>
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
    // ("OFF"), which opens nothing. The name is looked at first and what is no COM port is never opened;
    // with required, neither is a device other than that one.
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

    // The name CreateFile takes for a table entry: "COM3" stays as it is, "COM12" becomes "\\.\COM12".
    static std::string DeviceName(const std::string& entry);

private:
    // Win32 handles are kept as void* so that users of the port need no system header.
    using Handle = void*;

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
    // True when the open device has gone (a status query fails as a removed device does).
    bool DeviceGone();
    // An error code (GetLastError) that means the device has gone: unplugged adapter, closed terminal.
    static bool IsGoneError(unsigned long error);
    void StopTxThread();
    void StopRxThread();
    // Ends the thread's wait on the device (the platform's abort signal).
    void SignalTxAbort();
    void SignalRxAbort();
    void RxThread();
    void TxThread();
    // Writes txRing out; a write cut short keeps its rest in chunk[off..len) for the next pass.
    void WriteOut(uint8_t* chunk, uint32_t& len, uint32_t& off, Handle written);
    void ApplyBaud();
    void MarkHungUp();
    void NotifyRx();
    // Reads the driver's error flags and queue counts; remembers the flags for the next PollErrors.
    bool ReadCommStatus(unsigned& flags, int& in, int& out);
    bool AskTxThread(int& idle);
    void AnswerTx(uint64_t request, int idle);

    // The device and the two abort events (auto-reset, so a signal waits for its thread); set by Open before
    // the threads start and reset by Close after they ended.
    Handle m_Handle = nullptr;
    Handle m_TxAbort = nullptr;
    Handle m_RxAbort = nullptr;
    // Error flags that a queue query outside PollErrors took from the driver; PollErrors reports them.
    std::atomic<unsigned> m_SeenErrors{0};
};
