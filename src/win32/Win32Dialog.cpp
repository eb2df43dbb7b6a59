#include "Win32Dialog.h"

#include "dialog/DialogIds.h"
#include "dialog/StringTable.h"
#include "resource.h"

#include "core/Platform.h"

#include <windows.h>

#include <commdlg.h>
#include <dbt.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstdio>

// The view's operation of that name, not the platform's ANSI or wide one.
#undef MessageBox

namespace {

constexpr UINT WM_RUN_POSTED = WM_APP + 1;
constexpr UINT_PTR REFRESH_TIMER = 1;

std::wstring Wide(const std::string& text) {
    if (text.empty())
        return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty())
        return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr,
                        nullptr);
    return out;
}

std::wstring WindowText(HWND window) {
    int n = GetWindowTextLengthW(window);
    std::wstring text(static_cast<size_t>(n) + 1, L'\0');
    n = GetWindowTextW(window, text.data(), n + 1);
    text.resize(static_cast<size_t>(n > 0 ? n : 0));
    return text;
}

COLORREF Rgb(uint32_t argb) {
    return RGB((argb >> 16) & 0xFF, (argb >> 8) & 0xFF, argb & 0xFF);
}

INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG)
        SetWindowLongPtrW(window, DWLP_USER, lParam);
    auto* dlg = reinterpret_cast<CWin32Dialog*>(GetWindowLongPtrW(window, DWLP_USER));
    if (!dlg)
        return FALSE;
    return static_cast<INT_PTR>(dlg->Handle(message, static_cast<uintptr_t>(wParam), lParam));
}

INT_PTR CALLBACK AboutProc(HWND window, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        SetWindowTextW(window, Wide(LoadStr(101)).c_str());
        SetDlgItemTextW(window, IDC_ABOUT_TITLE, Wide(LoadStr(113)).c_str());
        SetDlgItemTextW(window, IDC_ABOUT_VERSION, Wide(LoadStr(106) + " " + PROGRAM_VERSION).c_str());
        SetDlgItemTextW(window, IDC_ABOUT_NOTICE, Wide(LoadStr(114)).c_str());
        SetDlgItemTextW(window, IDC_ABOUT_ADDRESS, Wide(LoadStr(162)).c_str());
        SetDlgItemTextW(window, IDOK, Wide(LoadStr(103)).c_str());
        return TRUE;
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSTATIC:
        return reinterpret_cast<INT_PTR>(GetStockObject(WHITE_BRUSH));
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_ABOUT_ADDRESS && HIWORD(wParam) == STN_CLICKED) {
            ShellExecuteW(window, L"open", Wide(LoadStr(162)).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
            return TRUE;
        }
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            ::EndDialog(window, IDOK);
            return TRUE;
        }
        break;
    default:
        break;
    }
    return FALSE;
}

std::atomic<int> g_ConsoleSignal{0};

BOOL WINAPI ConsoleHandler(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT)
        return FALSE;
    // A second one ends the process at once, as on the other platforms.
    if (g_ConsoleSignal.exchange(static_cast<int>(type) + 1) != 0)
        ExitProcess(128 + 2);
    return TRUE;
}

} // namespace

CWin32Dialog::CWin32Dialog(CSystem& system, CProfile& profile) : m_Core(system, profile, *this) {
    m_Core.m_PollInterrupts = [this] {
        std::string cause = TakeConsoleInterrupt();
        if (!cause.empty())
            m_Core.OnInterrupt(cause);
    };
}

CWin32Dialog::~CWin32Dialog() {
    if (m_Window)
        DestroyWindow(static_cast<HWND>(m_Window));
}

void* CWin32Dialog::Item(int id) const {
    if (id == IDC_WINDOW)
        return m_Window;
    return GetDlgItem(static_cast<HWND>(m_Window), id);
}

int CWin32Dialog::Run() {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    m_Accelerators = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDR_ACCELERATORS));
    HWND window = CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_LOADER), nullptr, DialogProc,
                                     reinterpret_cast<LPARAM>(this));
    if (!window)
        return 1;
    m_Window = window;
    HICON icon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_KAVREL));
    SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    if (!m_Core.OnInitDialog())
        return m_Core.ExitCode();
    ShowWindow(window, SW_SHOW);
    HWND imageEdit = FindWindowExW(static_cast<HWND>(Item(IDC_IMAGE_COMBO)), nullptr, L"Edit", nullptr);
    MSG msg;
    while (!m_Done && GetMessageW(&msg, nullptr, 0, 0) > 0) {
        // Enter in the image field loads the path typed there rather than pressing Upload.
        if (msg.message == WM_KEYDOWN && msg.wParam == VK_RETURN && msg.hwnd == imageEdit) {
            m_Core.OnImageFieldDone();
            continue;
        }
        if (TranslateAcceleratorW(window, static_cast<HACCEL>(m_Accelerators), &msg))
            continue;
        if (IsDialogMessageW(window, &msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return m_Core.ExitCode();
}

intptr_t CWin32Dialog::Handle(unsigned message, uintptr_t wParam, intptr_t lParam) {
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_TIMER:
        if (wParam == REFRESH_TIMER) {
            if (m_Core.m_PollInterrupts)
                m_Core.m_PollInterrupts();
            if (!m_Core.Ended())
                m_Core.OnRefreshTimer();
        }
        return TRUE;
    case WM_RUN_POSTED:
        while (!m_Posted.empty()) {
            std::function<void()> task = std::move(m_Posted.front());
            m_Posted.pop_front();
            task();
        }
        return TRUE;
    case WM_DRAWITEM:
        DrawBar(reinterpret_cast<const void*>(lParam));
        return TRUE;
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
        return reinterpret_cast<intptr_t>(GetStockObject(WHITE_BRUSH));
    case WM_HELP:
        m_Core.OnHelpFile();
        return TRUE;
    case WM_CONTEXTMENU: {
        HMENU menu = CreatePopupMenu();
        AppendMenuW(menu, MF_STRING, 1, Wide(LoadStr(101)).c_str());
        AppendMenuW(menu, MF_STRING, 2, Wide(LoadStr(160)).c_str());
        int chosen =
            TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, static_cast<short>(LOWORD(lParam)),
                           static_cast<short>(HIWORD(lParam)), 0, static_cast<HWND>(m_Window), nullptr);
        DestroyMenu(menu);
        if (chosen == 1)
            m_Core.OnAbout();
        else if (chosen == 2)
            m_Core.OnHelpFile();
        return TRUE;
    }
    case WM_DEVICECHANGE:
        if (m_Watching && (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE))
            m_Core.OnDeviceChange();
        return TRUE;
    case WM_CLOSE:
        m_Core.OnClose();
        return TRUE;
    case WM_COMMAND: {
        int id = LOWORD(wParam), code = HIWORD(wParam);
        switch (id) {
        case IDC_BROWSE:
            m_Core.OnBrowse();
            break;
        case IDC_CONNECT:
            m_Core.OnConnect();
            break;
        case IDC_REFRESH:
            m_Core.RefreshImageInfo();
            break;
        case IDC_UPLOAD:
            m_Core.OnUpload();
            break;
        case IDC_EXIT:
            m_Core.CloseDialog(0);
            break;
        case IDC_SAVE_LOG:
            m_Core.OnSaveLog();
            break;
        case IDC_PORT_LIST:
            if (code == CBN_SELCHANGE)
                m_Core.OnPortSelChange(
                    static_cast<int>(SendMessageW(static_cast<HWND>(Item(id)), CB_GETCURSEL, 0, 0)));
            break;
        case IDC_IMAGE_COMBO:
            if (code == CBN_SELCHANGE)
                m_Core.OnImageSelChange(
                    static_cast<int>(SendMessageW(static_cast<HWND>(Item(id)), CB_GETCURSEL, 0, 0)));
            else if (code == CBN_KILLFOCUS)
                m_Core.OnImageFieldDone();
            break;
        case ID_BROWSE:
        case ID_CONNECT:
        case ID_REFRESH:
        case ID_UPLOAD:
            m_Core.OnAccelerator(id);
            break;
        default:
            // Escape (IDCANCEL) does not close the dialog.
            break;
        }
        return TRUE;
    }
    default:
        return FALSE;
    }
}

void CWin32Dialog::DrawBar(const void* item) {
    const auto* draw = static_cast<const DRAWITEMSTRUCT*>(item);
    const Bar& bar = m_Bars[static_cast<int>(draw->CtlID)];
    RECT r = draw->rcItem;
    HDC dc = draw->hDC;
    // A grey frame, a white ring, then the filled part and the rest.
    HBRUSH grey = CreateSolidBrush(RGB(0x80, 0x80, 0x80));
    FrameRect(dc, &r, grey);
    DeleteObject(grey);
    InflateRect(&r, -1, -1);
    FillRect(dc, &r, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    InflateRect(&r, -2, -2);
    int inner = r.right - r.left;
    double fraction = bar.fraction >= 0 ? bar.fraction : 0;
    int fill = fraction >= 1 ? inner : static_cast<int>(inner * fraction + 0.5);
    RECT filled = r, rest = r;
    filled.right = r.left + fill;
    rest.left = filled.right;
    HBRUSH a = CreateSolidBrush(Rgb(bar.filled)), b = CreateSolidBrush(Rgb(bar.rest));
    FillRect(dc, &filled, a);
    FillRect(dc, &rest, b);
    DeleteObject(a);
    DeleteObject(b);
}

void CWin32Dialog::SetText(int id, const std::string& text) {
    SetWindowTextW(static_cast<HWND>(Item(id)), Wide(text).c_str());
}

std::string CWin32Dialog::Text(int id) {
    return Narrow(WindowText(static_cast<HWND>(Item(id))));
}

void CWin32Dialog::SetToolTip(int, const std::string&) {
    // Tooltips are the Qt face's; the Win32 dialog shows its captions alone.
}

void CWin32Dialog::Enable(int id, bool enabled) {
    EnableWindow(static_cast<HWND>(Item(id)), enabled ? TRUE : FALSE);
}

bool CWin32Dialog::IsEnabled(int id) {
    return IsWindowEnabled(static_cast<HWND>(Item(id))) != FALSE;
}

void CWin32Dialog::Show(int id, bool shown) {
    ShowWindow(static_cast<HWND>(Item(id)), shown ? SW_SHOW : SW_HIDE);
}

void CWin32Dialog::Focus(int id) {
    SendMessageW(static_cast<HWND>(m_Window), WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Item(id)), TRUE);
}

void CWin32Dialog::SetChecked(int id, bool checked) {
    CheckDlgButton(static_cast<HWND>(m_Window), id, checked ? BST_CHECKED : BST_UNCHECKED);
}

bool CWin32Dialog::IsChecked(int id) {
    return IsDlgButtonChecked(static_cast<HWND>(m_Window), id) == BST_CHECKED;
}

void CWin32Dialog::SetItems(int id, const std::vector<std::string>& items) {
    HWND combo = static_cast<HWND>(Item(id));
    SendMessageW(combo, CB_RESETCONTENT, 0, 0);
    for (const std::string& item : items)
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(item).c_str()));
}

void CWin32Dialog::SetCurrent(int id, int index) {
    SendMessageW(static_cast<HWND>(Item(id)), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void CWin32Dialog::SetProgress(int id, double fraction) {
    m_Bars[id].fraction = fraction;
    InvalidateRect(static_cast<HWND>(Item(id)), nullptr, FALSE);
}

void CWin32Dialog::SetColors(int id, uint32_t filled, uint32_t rest) {
    m_Bars[id].filled = filled;
    m_Bars[id].rest = rest;
    InvalidateRect(static_cast<HWND>(Item(id)), nullptr, FALSE);
}

int CWin32Dialog::LogLength() {
    // The core counts a line end as one character; the edit control holds CR LF.
    HWND view = static_cast<HWND>(Item(IDC_LOG_VIEW));
    int lines = static_cast<int>(SendMessageW(view, EM_GETLINECOUNT, 0, 0));
    return GetWindowTextLengthW(view) - (lines > 0 ? lines - 1 : 0);
}

void CWin32Dialog::AppendLog(const std::string& text) {
    std::wstring wide;
    for (wchar_t c : Wide(text)) {
        if (c == L'\n')
            wide += L'\r';
        wide += c;
    }
    HWND view = static_cast<HWND>(Item(IDC_LOG_VIEW));
    int end = GetWindowTextLengthW(view);
    SendMessageW(view, EM_SETSEL, static_cast<WPARAM>(end), end);
    SendMessageW(view, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(wide.c_str()));
    SendMessageW(view, EM_SCROLLCARET, 0, 0);
}

void CWin32Dialog::DropLogHead(int count) {
    HWND view = static_cast<HWND>(Item(IDC_LOG_VIEW));
    std::wstring text = WindowText(view);
    size_t at = 0;
    for (int seen = 0; seen < count && at < text.size(); ++seen)
        at += text[at] == L'\r' && at + 1 < text.size() && text[at + 1] == L'\n' ? 2 : 1;
    SendMessageW(view, EM_SETSEL, 0, static_cast<LPARAM>(at));
    SendMessageW(view, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
}

int CWin32Dialog::TextRoom(int id) {
    RECT r{};
    GetClientRect(static_cast<HWND>(Item(id)), &r);
    int room = r.right - r.left;
    if (id == IDC_SAVE_LOG)
        room -= GetSystemMetrics(SM_CXMENUCHECK) + 4;
    return room;
}

int CWin32Dialog::TextWidth(int id, const std::string& text) {
    HWND control = static_cast<HWND>(Item(id));
    HDC dc = GetDC(control);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(control, WM_GETFONT, 0, 0)));
    std::wstring wide = Wide(text);
    SIZE size{};
    GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    return size.cx;
}

int CWin32Dialog::MessageBox(const std::string& text, const std::string& caption, unsigned style, bool) {
    // The core's style flags and answers have the platform's own values.
    int answer = MessageBoxW(static_cast<HWND>(m_Window), Wide(text).c_str(), Wide(caption).c_str(), style);
    return answer == IDOK ? IDOK : IDCANCEL;
}

void CWin32Dialog::Post(std::function<void()> task) {
    m_Posted.push_back(std::move(task));
    PostMessageW(static_cast<HWND>(m_Window), WM_RUN_POSTED, 0, 0);
}

void CWin32Dialog::StartTimer(int ms) {
    SetTimer(static_cast<HWND>(m_Window), REFRESH_TIMER, static_cast<UINT>(ms), nullptr);
}

void CWin32Dialog::StopTimer() {
    KillTimer(static_cast<HWND>(m_Window), REFRESH_TIMER);
}

void CWin32Dialog::StartDeviceWatch() {
    m_Watching = true;
}

void CWin32Dialog::StopDeviceWatch() {
    m_Watching = false;
}

void CWin32Dialog::BringToFront() {
    HWND window = static_cast<HWND>(m_Window);
    if (IsIconic(window))
        ShowWindow(window, SW_RESTORE);
    else
        ShowWindow(window, SW_SHOW);
    SetForegroundWindow(window);
}

void CWin32Dialog::EndDialog(int code) {
    m_Code = code;
    m_Done = true;
    // The loop looks at m_Done once a message arrives.
    if (m_Window)
        PostMessageW(static_cast<HWND>(m_Window), WM_NULL, 0, 0);
}

namespace {

std::string FileDialog(HWND owner, const std::string& initial, const wchar_t* filter, bool save) {
    wchar_t path[MAX_PATH] = {};
    std::wstring start = Wide(initial);
    if (start.size() < MAX_PATH)
        start.copy(path, start.size());
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = owner;
    ofn.lpstrFilter = filter;
    ofn.lpstrFile = path;
    ofn.nMaxFile = MAX_PATH;
    ofn.Flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT | OFN_EXPLORER;
    BOOL ok = save ? GetSaveFileNameW(&ofn) : GetOpenFileNameW(&ofn);
    return ok ? Narrow(path) : std::string();
}

} // namespace

std::string CWin32Dialog::ChooseImageFile(const std::string& initial) {
    return FileDialog(static_cast<HWND>(m_Window), initial,
                      L"Binary Image (*.bin)\0*.bin\0All Files (*.*)\0*.*\0\0", false);
}

std::string CWin32Dialog::ChooseLogFile(const std::string& initial) {
    return FileDialog(static_cast<HWND>(m_Window), initial,
                      L"Log File (*.log)\0*.log\0All Files (*.*)\0*.*\0\0", true);
}

void CWin32Dialog::ShowAbout() {
    DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_ABOUT), static_cast<HWND>(m_Window),
                    AboutProc, 0);
}

bool CWin32Dialog::OpenHelp(std::string& where) {
    where.clear();
    for (const std::string& name : {std::string("GNSS.chm"), std::string("GNSS.html")}) {
        std::string path = ProgramFolder() + "\\" + name;
        if (GetFileAttributesW(Wide(path).c_str()) == INVALID_FILE_ATTRIBUTES) {
            where += (where.empty() ? "" : " or ") + path;
            continue;
        }
        where = path;
        auto result = reinterpret_cast<intptr_t>(ShellExecuteW(
            static_cast<HWND>(m_Window), L"open", Wide(path).c_str(), nullptr, nullptr, SW_MAXIMIZE));
        return result > 32;
    }
    return false;
}

std::vector<std::string> Win32Arguments() {
    std::vector<std::string> args;
    int count = 0;
    LPWSTR* list = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 0; list && i < count; ++i)
        args.push_back(Narrow(list[i]));
    if (list)
        LocalFree(list);
    return args;
}

void AttachParentConsole() {
    // Started from a console (or with its output redirected), the report goes there.
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out != nullptr && out != INVALID_HANDLE_VALUE)
        return;
    if (AttachConsole(ATTACH_PARENT_PROCESS)) {
        std::FILE* ignored = nullptr;
        ignored = std::freopen("CONOUT$", "w", stdout);
        ignored = std::freopen("CONOUT$", "w", stderr);
        (void)ignored;
    }
}

bool Win32FirstInstance() {
    // The program's named mutex, in the session's own namespace; it lives as long as the process.
    HANDLE mutex = CreateMutexW(nullptr, TRUE, L"TZ5_4_FW_loader_one_instance__MUTEX");
    if (mutex && GetLastError() == ERROR_ALREADY_EXISTS) {
        HWND other = FindWindowW(nullptr, Wide(BuiltinStr(113)).c_str());
        if (other) {
            HWND popup = GetLastActivePopup(other);
            if (IsIconic(other))
                ShowWindow(other, SW_RESTORE);
            SetForegroundWindow(popup ? popup : other);
        }
        return false;
    }
    return true;
}

void WatchConsoleInterrupts() {
    SetConsoleCtrlHandler(ConsoleHandler, TRUE);
}

std::string TakeConsoleInterrupt() {
    static bool told = false;
    int type = g_ConsoleSignal.load();
    if (type == 0 || told)
        return {};
    told = true;
    return type - 1 == CTRL_BREAK_EVENT ? "interrupted by Ctrl-Break" : "interrupted by Ctrl-C";
}

bool ConsoleInterruptArrived() {
    return g_ConsoleSignal.load() != 0;
}

std::string Win32SettingsPath(const std::string& program) {
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, 0, folder)))
        return program + ".ini";
    std::wstring dir = std::wstring(folder) + L"\\Kestrin";
    CreateDirectoryW(dir.c_str(), nullptr);
    return Narrow(dir) + "\\" + program + ".ini";
}
