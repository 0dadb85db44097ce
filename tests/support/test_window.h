// A window message queue for tests, drained without waiting.
#pragma once

#include <vector>

#include "kalvex.h"

namespace kalvex::test {

class TestWindow {
public:
    TestWindow() : hwnd_(KalvexPosix_CreateWindow()) {}
    ~TestWindow() { KalvexPosix_DestroyWindow(hwnd_); }
    TestWindow(const TestWindow &) = delete;
    TestWindow &operator=(const TestWindow &) = delete;

    KalvexHwnd hwnd() const { return hwnd_; }

    // Every queued message, oldest first.
    std::vector<KalvexMessage> Drain() {
        std::vector<KalvexMessage> out;
        KalvexMessage m;
        while (KalvexPosix_GetMessage(hwnd_, &m, 0) == 1) out.push_back(m);
        return out;
    }

    // lParams of the queued messages with this number, oldest first.
    std::vector<long> Drain(unsigned message) {
        std::vector<long> out;
        for (const KalvexMessage &m : Drain())
            if (m.message == message) out.push_back(m.lParam);
        return out;
    }

private:
    KalvexHwnd hwnd_;
};

}  // namespace kalvex::test
