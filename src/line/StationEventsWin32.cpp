// Interrupts from the console's control handler; device arrival and removal from WM_DEVICECHANGE, which a
// hidden top-level window (message-only windows get no broadcasts) receives on a thread of its own.

#include "line/StationEvents.h"

#include <atomic>
#include <thread>
#include <windows.h>
// After windows.h, which these need.
#include <dbt.h>

namespace {

// The console's handler is a plain function: it reaches the waiting loop through this event.
std::atomic<HANDLE> g_InterruptEvent{nullptr};

BOOL WINAPI OnConsoleControl(DWORD type) {
    switch (type) {
    // Closing the console or logging off ends the process right after the handler returns, whatever it
    // answers: those take the system's default.
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        if (HANDLE event = g_InterruptEvent.load())
            SetEvent(event);
        return TRUE;
    default:
        return FALSE;
    }
}

constexpr char WINDOW_CLASS[] = "KavrelLineDeviceWatch";

// {86E0D1E0-8089-11D0-9CE4-08003E301F73}: the interface every serial port driver registers.
const GUID PORT_INTERFACE = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DEVICECHANGE) {
        if (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE ||
            wParam == DBT_DEVNODES_CHANGED)
            if (HANDLE event = reinterpret_cast<HANDLE>(GetWindowLongPtrA(window, GWLP_USERDATA)))
                SetEvent(event);
        return TRUE;
    }
    if (message == WM_CLOSE) {
        DestroyWindow(window);
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

} // namespace

struct CStationEvents::State {
    HANDLE interrupt = nullptr;
    HANDLE devices = nullptr;
    std::atomic<HWND> window{nullptr};
    std::thread thread;
    bool handlerSet = false;

    // The window's thread: the window, its notification for port interfaces and the message loop.
    void Run(HANDLE ready) {
        HINSTANCE instance = GetModuleHandleA(nullptr);
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = WindowProc;
        windowClass.hInstance = instance;
        windowClass.lpszClassName = WINDOW_CLASS;
        RegisterClassA(&windowClass);
        HWND hwnd = CreateWindowExA(0, WINDOW_CLASS, "kavrel-line", WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                                    nullptr, instance, nullptr);
        HDEVNOTIFY notify = nullptr;
        if (hwnd) {
            SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(devices));
            DEV_BROADCAST_DEVICEINTERFACE_A filter{};
            filter.dbcc_size = sizeof filter;
            filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
            filter.dbcc_classguid = PORT_INTERFACE;
            notify = RegisterDeviceNotificationA(hwnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
        }
        window.store(hwnd);
        SetEvent(ready);
        if (!hwnd)
            return;
        MSG message;
        while (GetMessageA(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        if (notify)
            UnregisterDeviceNotification(notify);
    }
};

CStationEvents::CStationEvents() : m_State(std::make_unique<State>()) {}

CStationEvents::~CStationEvents() {
    if (m_State->handlerSet) {
        SetConsoleCtrlHandler(OnConsoleControl, FALSE);
        g_InterruptEvent.store(nullptr);
    }
    if (HWND window = m_State->window.load())
        PostMessageA(window, WM_CLOSE, 0, 0);
    if (m_State->thread.joinable())
        m_State->thread.join();
    if (m_State->interrupt)
        CloseHandle(m_State->interrupt);
    if (m_State->devices)
        CloseHandle(m_State->devices);
}

bool CStationEvents::Start(bool devices) {
    m_State->interrupt = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    m_State->devices = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    g_InterruptEvent.store(m_State->interrupt);
    m_State->handlerSet = SetConsoleCtrlHandler(OnConsoleControl, TRUE) != 0;
    if (!devices || !m_State->devices)
        return !devices;
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!ready)
        return false;
    m_State->thread = std::thread([this, ready] { m_State->Run(ready); });
    WaitForSingleObject(ready, INFINITE);
    CloseHandle(ready);
    if (m_State->window.load())
        return true;
    m_State->thread.join();
    return false;
}

CStationEvents::Woken CStationEvents::Wait(int ms) {
    Woken woken;
    HANDLE events[2] = {m_State->interrupt, m_State->devices};
    const DWORD count = events[1] ? 2 : 1;
    if (!events[0])
        return woken;
    // The wait itself resets the auto-reset event that ended it; the other one is taken after it.
    const DWORD ended =
        WaitForMultipleObjects(count, events, FALSE, ms < 0 ? INFINITE : static_cast<DWORD>(ms));
    woken.interrupted = ended == WAIT_OBJECT_0 || WaitForSingleObject(events[0], 0) == WAIT_OBJECT_0;
    woken.devicesChanged =
        count == 2 && (ended == WAIT_OBJECT_0 + 1 || WaitForSingleObject(events[1], 0) == WAIT_OBJECT_0);
    return woken;
}
