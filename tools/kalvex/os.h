// The few things the tool needs from the operating system, behind one small
// interface so that a Windows port replaces os_posix.cpp and nothing else.
#pragma once

#include <string>
#include <vector>

#include "kalvex.h"

namespace kalvex_tool {

// One message taken from the notification window.
struct WindowMessage {
    unsigned int message = 0;
    long lParam = 0;
};

// The window the library posts its frame and event messages to.
class MessageWindow {
  public:
    MessageWindow();
    ~MessageWindow();
    MessageWindow(const MessageWindow &) = delete;
    MessageWindow &operator=(const MessageWindow &) = delete;

    bool ok() const { return hwnd_ != nullptr; }
    KalvexHwnd hwnd() const { return hwnd_; }
    // 1 with *out filled, 0 when nothing came within timeoutMs, -1 on failure.
    int Next(WindowMessage *out, int timeoutMs);
    // Throws away everything queued so far.
    void Discard();

  private:
    KalvexHwnd hwnd_;
};

// True when standard output is a terminal (the status line then redraws itself).
bool StdoutIsTerminal();
// Width of the terminal on standard output in columns (80 when unknown).
int TerminalColumns();

// The camera on USB (Linux's user-space driver; Windows has a kernel driver
// and no such calls). AddUsbCamera names a model by its ids before the library
// instance is created; false when the platform has no USB driver or refuses.
bool AddUsbCamera(int vendor, int product);
// Why the USB driver found no usable camera (empty when it has nothing to say).
std::string UsbProblem();
// Devices with an interface of one bulk OUT and two bulk IN endpoints, one
// line each; false when the platform has no USB driver.
bool ListUsbCandidates(std::vector<std::string> *lines);

// Ctrl-C asks a running command to finish cleanly instead of killing it.
void InstallInterruptHandler();
bool Interrupted();

}  // namespace kalvex_tool
