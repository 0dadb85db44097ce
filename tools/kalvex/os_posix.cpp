// POSIX side of os.h: the library's own message queues stand in for windows.
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

#include "kalvex_usb.h"
#include "os.h"

namespace kalvex_tool {

namespace {
volatile sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int) {
    g_interrupted = 1;
}
}  // namespace

MessageWindow::MessageWindow() : hwnd_(KalvexPosix_CreateWindow()) {}

bool AddUsbCamera(int vendor, int product) {
    return KalvexUsb_AddDevice(vendor, product, nullptr) == 1;
}

std::string UsbProblem() {
    char text[512] = "";
    return KalvexUsb_GetLastEvent(text, sizeof text) == KALVEX_USB_OK ? std::string() : text;
}

bool ListUsbCandidates(std::vector<std::string> *lines) {
    KalvexUsbCandidate found[32];
    int n = KalvexUsb_ListCandidates(found, 32);
    if (n < 0) return false;
    for (int i = 0; i < n && i < 32; ++i) {
        const KalvexUsbCandidate &c = found[i];
        char line[160];
        std::snprintf(line, sizeof line,
                      "%04x:%04x  bus %03d device %03d  interface %d alt %d  endpoints "
                      "0x%02x 0x%02x 0x%02x",
                      c.vendorId, c.productId, c.busNumber, c.deviceAddress, c.interfaceNumber,
                      c.alternateSetting, c.endpoints[0], c.endpoints[1], c.endpoints[2]);
        lines->push_back(line);
    }
    return true;
}

MessageWindow::~MessageWindow() {
    if (hwnd_ != nullptr) KalvexPosix_DestroyWindow(hwnd_);
}

int MessageWindow::Next(WindowMessage *out, int timeoutMs) {
    KalvexMessage m;
    int got = KalvexPosix_GetMessage(hwnd_, &m, timeoutMs);
    if (got != 1) return got;
    out->message = m.message;
    out->lParam = m.lParam;
    return 1;
}

void MessageWindow::Discard() {
    KalvexMessage m;
    while (KalvexPosix_GetMessage(hwnd_, &m, 0) == 1) {
    }
}

bool StdoutIsTerminal() {
    return isatty(STDOUT_FILENO) == 1;
}

int TerminalColumns() {
    struct winsize size {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

void InstallInterruptHandler() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool Interrupted() {
    return g_interrupted != 0;
}

}  // namespace kalvex_tool
