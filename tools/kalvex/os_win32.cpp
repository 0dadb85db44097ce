// Windows side of os.h: a hidden message-only window read with PeekMessage.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <atomic>

#include "os.h"

namespace kalvex_tool {

namespace {

const wchar_t kClassName[] = L"KalvexToolWindow";
std::atomic<bool> g_interrupted{false};

KalvexHwnd CreateMessageWindow() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kClassName;
    if (RegisterClassW(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return nullptr;
    return CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance,
                           nullptr);
}

BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    g_interrupted = true;
    return TRUE;
}

}  // namespace

MessageWindow::MessageWindow() : hwnd_(CreateMessageWindow()) {}

MessageWindow::~MessageWindow() {
    if (hwnd_ != nullptr) DestroyWindow(hwnd_);
}

int MessageWindow::Next(WindowMessage *out, int timeoutMs) {
    if (hwnd_ == nullptr || out == nullptr) return -1;
    const DWORD start = GetTickCount();
    for (;;) {
        MSG m;
        if (PeekMessageW(&m, hwnd_, 0, 0, PM_REMOVE)) {
            out->message = m.message;
            out->lParam = static_cast<long>(m.lParam);
            return 1;
        }
        DWORD wait = INFINITE;
        if (timeoutMs >= 0) {
            const DWORD spent = GetTickCount() - start;
            if (spent >= static_cast<DWORD>(timeoutMs)) return 0;
            wait = static_cast<DWORD>(timeoutMs) - spent;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, wait, QS_POSTMESSAGE);
    }
}

void MessageWindow::Discard() {
    MSG m;
    while (hwnd_ != nullptr && PeekMessageW(&m, hwnd_, 0, 0, PM_REMOVE)) {
    }
}

bool StdoutIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != FALSE;
}

int TerminalColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info) != FALSE) {
        int columns = info.srWindow.Right - info.srWindow.Left + 1;
        if (columns > 0) return columns;
    }
    return 80;
}

void InstallInterruptHandler() {
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool Interrupted() {
    return g_interrupted;
}

// Windows reaches the camera through its kernel driver: no USB calls here.
bool AddUsbCamera(int, int) {
    return false;
}

std::string UsbProblem() {
    return {};
}

bool ListUsbCandidates(std::vector<std::string> *) {
    return false;
}

}  // namespace kalvex_tool
