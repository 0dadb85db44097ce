// The web side of `kalvex view`: the page, the MJPEG stream, live figures as
// server-sent events and JSON, temperatures, snapshots, and the controls.
//
// Who may ask: only requests whose Host header names the address served (so
// a page elsewhere cannot reach it through DNS rebinding); controls only as
// POST with an Origin of that same address; and, when listening beyond
// loopback, only requests carrying the token printed with the URL.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "view_hub.h"

namespace kalvex_tool {

struct ViewServerConfig {
    std::string listen = "127.0.0.1";
    int port = 8080;    // 0: any free port
    std::string token;  // required from every request when not empty
    // Runs a control request (nuc, pause, ...) on the capture loop.
    std::function<ViewReply(const std::string &action, const std::string &body)> control;
};

// True for 127.0.0.0/8, ::1 and "localhost".
bool IsLoopbackAddress(const std::string &address);
// A fresh random token of 32 hexadecimal digits.
std::string NewViewToken();

class ViewServer {
  public:
    ViewServer(ViewHub &hub, ViewServerConfig config);
    ~ViewServer();
    ViewServer(const ViewServer &) = delete;
    ViewServer &operator=(const ViewServer &) = delete;

    // Binds the socket; false when the address or port cannot be had, and
    // then BindFailure says why.
    bool Bind();
    // Why the address and port cannot be served: the address not one of
    // this machine's, or the port taken, with the operating system's words.
    std::string BindFailure() const;
    int port() const;
    // The address to open in a browser (with the token when one is needed).
    std::string Url() const;
    // Serves on a thread of its own until Stop.
    void Start();
    void Stop();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kalvex_tool
