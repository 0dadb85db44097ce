#include "view_server.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <regex>
#include <thread>

#include <httplib.h>

#include "frame_counts.h"
#include "view_json.h"

namespace kalvex_tool {

namespace {

// The page, embedded at build time (view_page.html).
const unsigned char kPage[] = {
#include "view_page.inc"
};

constexpr int kW = 640;
constexpr int kH = 480;
// Room for the longest list of regions (polygons of many vertices).
constexpr size_t kMaxBody = 16384;
constexpr auto kControlTimeout = std::chrono::seconds(5);
constexpr const char *kBoundary = "kalvexframe";
constexpr const char *kControls =
    R"(/api/(nuc|pause|resume|record|record/stop|range|snapshot|color|rois|alarms))";

bool IsIpv4(const std::string &text) {
    in_addr a{};
    return inet_pton(AF_INET, text.c_str(), &a) == 1;
}

bool IsIpv6(const std::string &text) {
    in6_addr a{};
    return inet_pton(AF_INET6, text.c_str(), &a) == 1;
}

bool IsWildcard(const std::string &address) {
    return address.empty() || address == "0.0.0.0" || address == "::";
}

// "host:port" as a browser writes it in the Host header.
std::string HostPort(const std::string &host, int port) {
    bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// Splits a Host header into name and port; false when it has no port.
bool SplitHost(const std::string &header, std::string *name, std::string *port) {
    size_t colon = header.rfind(':');
    if (colon == std::string::npos || colon + 1 >= header.size()) return false;
    if (header.find(']') != std::string::npos && header.rfind(']') > colon) return false;
    *name = header.substr(0, colon);
    *port = header.substr(colon + 1);
    if (name->size() >= 2 && name->front() == '[' && name->back() == ']')
        *name = name->substr(1, name->size() - 2);
    return true;
}

// Compares without leaking where the first difference lies.
bool SameSecret(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

// A whole decimal number in [0, limit), or -1.
int Coordinate(const std::string &text, int limit) {
    if (text.empty() || text.size() > 4) return -1;
    int v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return -1;
        v = v * 10 + (c - '0');
    }
    return v < limit ? v : -1;
}

// A frame's seq as ?after= gives it: a whole number, 0 or more.
bool Seq(const std::string &text, long *out) {
    char *end = nullptr;
    errno = 0;
    *out = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && errno == 0 && *out >= 0;
}

void JsonReply(httplib::Response &res, int status, const std::string &json) {
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(json, "application/json");
}

void Refuse(httplib::Response &res, int status, const char *why) {
    JsonReply(res, status, "{\"error\":" + JsonString(why) + "}");
}

// The frame a polling request asks for: the one after ?after=SEQ (waiting up
// to a second), else the newest; null once refused (a bad seq, no frame yet).
std::shared_ptr<const ViewFrame> FrameAsked(ViewHub &hub, const httplib::Request &req,
                                            httplib::Response &res) {
    std::shared_ptr<const ViewFrame> frame;
    if (req.has_param("after")) {
        long after = 0;
        if (!Seq(req.get_param_value("after"), &after)) {
            Refuse(res, 400, "after must be a frame's seq (a whole number, 0 or more)");
            return nullptr;
        }
        frame = hub.NextFrame(after, std::chrono::seconds(1));
    }
    if (!frame) frame = hub.Latest();
    if (!frame) Refuse(res, 503, "no frame yet");
    return frame;
}

}  // namespace

bool IsLoopbackAddress(const std::string &address) {
    if (address == "localhost" || address == "::1") return true;
    return IsIpv4(address) && address.rfind("127.", 0) == 0;
}

std::string NewViewToken() {
    std::random_device device;
    std::string token;
    char digits[9];
    for (int i = 0; i < 4; ++i) {
        std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(device()));
        token += digits;
    }
    return token;
}

struct ViewServer::Impl {
    ViewHub &hub;
    ViewServerConfig config;
    httplib::Server server;
    std::thread thread;
    std::atomic<bool> finished{false};
    int port = -1;

    Impl(ViewHub &h, ViewServerConfig c) : hub(h), config(std::move(c)) {}

    bool HostAllowed(const std::string &header) const {
        std::string name, portText;
        if (!SplitHost(header, &name, &portText) || portText != std::to_string(port)) return false;
        if (name == "localhost")
            return IsLoopbackAddress(config.listen) || IsWildcard(config.listen);
        if (IsWildcard(config.listen)) return IsIpv4(name) || IsIpv6(name);
        if (config.listen == "localhost") return name == "127.0.0.1" || name == "::1";
        return name == config.listen;
    }

    httplib::Server::HandlerResponse Screen(const httplib::Request &req,
                                            httplib::Response &res) const {
        using R = httplib::Server::HandlerResponse;
        const std::string host = req.get_header_value("Host");
        if (!HostAllowed(host)) {
            Refuse(res, 403, "this server answers only to the address it serves");
            return R::Handled;
        }
        if (!config.token.empty()) {
            std::string given = req.has_param("token") ? req.get_param_value("token")
                                                       : req.get_header_value("X-Kalvex-Token");
            if (!SameSecret(given, config.token)) {
                Refuse(res, 401, "open the address with the token that kalvex view printed");
                return R::Handled;
            }
        }
        if (req.method == "POST" && req.get_header_value("Origin") != "http://" + host) {
            Refuse(res, 403, "controls are taken only from this server's own page");
            return R::Handled;
        }
        if (req.method != "GET" && req.method != "POST" && req.method != "HEAD") {
            Refuse(res, 405, "only GET and POST");
            return R::Handled;
        }
        // A request with neither Content-Length nor Transfer-Encoding has an
        // empty body (what `curl -X POST` sends), but httplib refuses it:
        // such a control is run here, before httplib looks for a body.
        if (req.method == "POST" && !req.has_header("Content-Length") &&
            !req.has_header("Transfer-Encoding")) {
            static const std::regex controls(kControls);
            std::smatch match;
            if (std::regex_match(req.path, match, controls))
                Control(match[1], "", res);
            else
                Refuse(res, 404, "no such page");
            return R::Handled;
        }
        return R::Unhandled;
    }

    void Control(const std::string &action, const std::string &body, httplib::Response &res) const {
        ViewReply reply = hub.Submit([this, action, body] { return config.control(action, body); },
                                     kControlTimeout);
        JsonReply(res, reply.status, reply.json);
    }

    void Routes() {
        server.set_payload_max_length(kMaxBody);
        // httplib's default also sets SO_REUSEPORT, which lets a second viewer
        // bind the same port and take half the connections: address reuse only.
        server.set_socket_options([](socket_t sock) {
            int yes = 1;
            setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        });
        // Each stream or event client keeps a thread while it watches.
        server.new_task_queue = [] { return new httplib::ThreadPool(48); };
        server.set_write_timeout(5, 0);
        server.set_pre_routing_handler([this](const httplib::Request &req, httplib::Response &res) {
            return Screen(req, res);
        });
        server.set_error_handler([](const httplib::Request &, httplib::Response &res) {
            if (!res.body.empty()) return;
            const char *why = res.status == 404   ? "no such page"
                              : res.status == 413 ? "request body too large"
                                                  : "bad request";
            Refuse(res, res.status, why);
        });

        server.Get("/", [](const httplib::Request &, httplib::Response &res) {
            res.set_header("Cache-Control", "no-store");
            res.set_header("Content-Security-Policy",
                           "default-src 'none'; script-src 'unsafe-inline'; style-src "
                           "'unsafe-inline'; img-src 'self' blob: data:; connect-src 'self'; "
                           "frame-ancestors 'none'");
            res.set_content(reinterpret_cast<const char *>(kPage), sizeof kPage,
                            "text/html; charset=utf-8");
        });

        server.Get("/stream.mjpg", [this](const httplib::Request &, httplib::Response &res) {
            res.set_header("Cache-Control", "no-store");
            hub.AddStreamClient(1);
            // Frames are encoded only while someone watches: have the newest one
            // encoded now, or a client arriving during a pause would see nothing.
            auto latest = hub.Latest();
            if (latest && latest->jpeg.empty())
                hub.Submit([this] { return config.control("refresh", ""); }, kControlTimeout);
            auto last = std::make_shared<long>(0);
            res.set_chunked_content_provider(
                std::string("multipart/x-mixed-replace; boundary=") + kBoundary,
                [this, last](size_t, httplib::DataSink &sink) {
                    // Always the newest frame: a client that falls behind skips frames.
                    auto frame = hub.NextFrame(*last, std::chrono::seconds(1));
                    if (hub.Closed()) return false;
                    // Nothing new for a second (paused, say): the newest frame
                    // again, which keeps the picture and finds clients that left.
                    if (frame)
                        *last = frame->seq;
                    else
                        frame = hub.Latest();
                    if (!frame || frame->jpeg.empty()) return true;
                    std::string part = std::string("--") + kBoundary +
                                       "\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                                       std::to_string(frame->jpeg.size()) +
                                       "\r\nX-Frame-Id: " + FrameIdText(frame->frameId) +
                                       "\r\n\r\n";
                    part += frame->jpeg;
                    part += "\r\n";
                    return sink.write(part.data(), part.size());
                },
                [this](bool) { hub.AddStreamClient(-1); });
        });

        server.Get("/api/status", [this](const httplib::Request &, httplib::Response &res) {
            JsonReply(res, 200, hub.Status().second);
        });

        server.Get("/api/events", [this](const httplib::Request &, httplib::Response &res) {
            res.set_header("Cache-Control", "no-store");
            auto last = std::make_shared<long>(-1);
            res.set_chunked_content_provider(
                "text/event-stream", [this, last](size_t, httplib::DataSink &sink) {
                    bool first = *last < 0;
                    auto [seq, json] = hub.NextStatus(*last, std::chrono::seconds(15));
                    if (hub.Closed()) return false;
                    std::string message = first ? "retry: 1000\n" : "";
                    if (seq == *last) {
                        message += ": idle\n\n";  // keeps proxies and the browser patient
                    } else {
                        *last = seq;
                        message += "data: " + json + "\n\n";
                    }
                    return sink.write(message.data(), message.size());
                });
        });

        server.Get(
            "/api/temperatures", [this](const httplib::Request &req, httplib::Response &res) {
                const std::shared_ptr<const ViewFrame> frame = FrameAsked(hub, req, res);
                if (!frame) return;
                if (frame->temps.empty())
                    return Refuse(res, 409, "no temperatures: load a table (--table)");
                res.set_header("Cache-Control", "no-store");
                res.set_header("X-Frame-Id", FrameIdText(frame->frameId));
                res.set_header("X-Frame-Seq", std::to_string(frame->seq));
                res.set_header("X-Width", std::to_string(kW));
                res.set_header("X-Height", std::to_string(kH));
                res.set_content(reinterpret_cast<const char *>(frame->temps.data()),
                                frame->temps.size() * sizeof(float), "application/octet-stream");
            });

        server.Get("/api/measure", [this](const httplib::Request &req, httplib::Response &res) {
            const std::shared_ptr<const ViewFrame> frame = FrameAsked(hub, req, res);
            if (!frame) return;
            JsonReply(res, 200, frame->measure);
        });

        server.Get("/api/temperature", [this](const httplib::Request &req, httplib::Response &res) {
            int x = Coordinate(req.get_param_value("x"), kW);
            int y = Coordinate(req.get_param_value("y"), kH);
            if (x < 0 || y < 0) return Refuse(res, 400, "x must be 0-639 and y 0-479");
            auto frame = hub.Latest();
            if (!frame) return Refuse(res, 503, "no frame yet");
            if (frame->temps.empty())
                return Refuse(res, 409, "no temperatures: load a table (--table)");
            float t = frame->temps[static_cast<size_t>(y) * kW + static_cast<size_t>(x)];
            char value[32] = "null";
            if (t != -999.0f) std::snprintf(value, sizeof value, "%.9g", static_cast<double>(t));
            JsonReply(res, 200,
                      "{\"x\":" + std::to_string(x) + ",\"y\":" + std::to_string(y) +
                          ",\"celsius\":" + value + ",\"frame\":" + FrameIdText(frame->frameId) +
                          ",\"seq\":" + std::to_string(frame->seq) + "}");
        });

        server.Get(R"(/api/snapshot/(\d{1,9})/(\d))", [this](const httplib::Request &req,
                                                             httplib::Response &res) {
            ViewDownload file;
            if (!hub.Snapshot(std::atol(req.matches[1].str().c_str()),
                              static_cast<size_t>(std::atoi(req.matches[2].str().c_str())), &file))
                return Refuse(res, 404, "no such snapshot (only the last few are kept)");
            res.set_header("Content-Disposition", "attachment; filename=\"" + file.name + "\"");
            res.set_content(file.body, file.contentType.c_str());
        });

        server.Post(kControls, [this](const httplib::Request &req, httplib::Response &res) {
            Control(req.matches[1], req.body, res);
        });
        server.Get(kControls, [](const httplib::Request &, httplib::Response &res) {
            res.set_header("Allow", "POST");
            Refuse(res, 405, "controls are POST requests");
        });
    }
};

ViewServer::ViewServer(ViewHub &hub, ViewServerConfig config)
    : impl_(std::make_unique<Impl>(hub, std::move(config))) {
    impl_->Routes();
}

ViewServer::~ViewServer() {
    Stop();
}

bool ViewServer::Bind() {
    const std::string &host = impl_->config.listen.empty() ? "0.0.0.0" : impl_->config.listen;
    if (impl_->config.port == 0) {
        impl_->port = impl_->server.bind_to_any_port(host);
    } else {
        impl_->port =
            impl_->server.bind_to_port(host, impl_->config.port) ? impl_->config.port : -1;
    }
    return impl_->port > 0;
}

std::string ViewServer::BindFailure() const {
    const std::string &host = impl_->config.listen.empty() ? "0.0.0.0" : impl_->config.listen;
    const std::string port = std::to_string(impl_->config.port);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo *found = nullptr;
    if (int e = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); e != 0)
        return host + " is not an address (" + gai_strerror(e) + ")";
    // httplib keeps the reason to itself: binding the same way again finds it.
    std::string why = "cannot serve on " + host + " port " + port;
    for (addrinfo *a = found; a; a = a->ai_next) {
        int fd = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (fd < 0) continue;
        int yes = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        int e = bind(fd, a->ai_addr, a->ai_addrlen) == 0 && listen(fd, 1) == 0 ? 0 : errno;
        close(fd);
        if (e == EADDRINUSE)
            why = "port " + port + " on " + host + " is in use (" + std::strerror(e) + ")";
        else if (e == EADDRNOTAVAIL)
            why = host + " is not an address of this machine (" + std::strerror(e) + ")";
        else if (e != 0)
            why = "cannot serve on " + host + " port " + port + " (" + std::strerror(e) + ")";
        if (e != 0) break;
    }
    freeaddrinfo(found);
    return why;
}

int ViewServer::port() const {
    return impl_->port;
}

std::string ViewServer::Url() const {
    const std::string &listen = impl_->config.listen;
    std::string host = IsWildcard(listen) ? "127.0.0.1" : listen;
    std::string url = "http://" + HostPort(host, impl_->port) + "/";
    if (!impl_->config.token.empty()) url += "?token=" + impl_->config.token;
    return url;
}

void ViewServer::Start() {
    impl_->thread = std::thread([this] {
        impl_->server.listen_after_bind();
        impl_->finished = true;
    });
    // httplib's stop() does nothing to a server that is not running yet, so a
    // Stop right after Start would wait forever: return once it runs.
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!impl_->server.is_running() && !impl_->finished &&
           std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void ViewServer::Stop() {
    if (!impl_->thread.joinable()) return;
    impl_->hub.Close();  // wakes the streams, so that their threads can finish
    impl_->server.stop();
    impl_->thread.join();
}

}  // namespace kalvex_tool
