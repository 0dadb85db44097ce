// The few things the tool needs from the operating system, behind one small
// interface so that a Windows port replaces os_posix.cpp and nothing else.
#pragma once

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

// Ctrl-C asks a running command to finish cleanly instead of killing it.
void InstallInterruptHandler();
bool Interrupted();

}  // namespace kalvex_tool
