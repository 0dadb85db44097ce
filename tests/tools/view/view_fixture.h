// A viewer in this process on the simulated camera: the library instance, the
// engine pumped by a thread of its own (as the program's message loop would),
// and the server on a free loopback port.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>
#include <jpeglib.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "kalvex.h"
#include "kalvex_sim.h"
#include "view_engine.h"
#include "view_hub.h"
#include "view_server.h"

namespace kalvex::viewtest {

using namespace std::chrono_literals;
using kalvex_tool::ViewEngine;
using kalvex_tool::ViewHub;
using kalvex_tool::ViewServer;

// The number (or literal) after "name": in a flat JSON text; empty if absent.
inline std::string Field(const std::string &json, const std::string &name) {
    std::smatch m;
    std::regex re("\"" + name + "\":(\"[^\"]*\"|[-0-9.eE+]+|true|false|null)");
    return std::regex_search(json, m, re) ? m[1].str() : std::string();
}

// Decodes a JPEG into RGB rows, top row first; empty when it is not one.
inline std::vector<unsigned char> DecodeJpeg(const std::string &jpeg, int *width, int *height) {
    jpeg_decompress_struct info{};
    jpeg_error_mgr error{};
    info.err = jpeg_std_error(&error);
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char *>(jpeg.data()),
                 static_cast<unsigned long>(jpeg.size()));
    std::vector<unsigned char> rgb;
    if (jpeg_read_header(&info, TRUE) == JPEG_HEADER_OK) {
        info.out_color_space = JCS_RGB;
        jpeg_start_decompress(&info);
        *width = static_cast<int>(info.output_width);
        *height = static_cast<int>(info.output_height);
        rgb.resize(static_cast<size_t>(*width) * static_cast<size_t>(*height) * 3);
        while (info.output_scanline < info.output_height) {
            JSAMPROW row = rgb.data() + static_cast<size_t>(info.output_scanline) * *width * 3;
            jpeg_read_scanlines(&info, &row, 1);
        }
        jpeg_finish_decompress(&info);
    }
    jpeg_destroy_decompress(&info);
    return rgb;
}

// Polls until ok() holds; false after the time limit.
inline bool Eventually(const std::function<bool()> &ok, std::chrono::milliseconds limit = 10s) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!ok()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

class ViewFixture : public ::testing::Test {
  protected:
    // Scene in sensor coordinates: a 37.0 °C disc left of centre, an 80 °C one
    // up and to the right (off the horizontal midline, so that an upside-down
    // picture shows), background 22 °C.
    static constexpr int kSpotX = 200, kSpotY = 240, kHotX = 470, kHotY = 120;

    void SetUp() override { StartViewer({}); }
    void TearDown() override { StopViewer(); }

    void StartViewer(const std::string &token) {
        KalvexSim_Reset();
        ASSERT_EQ(KalvexSim_Plug(0), 1);
        KalvexSim_AddSpot(0, kSpotX, kSpotY, 50, 37.0);
        KalvexSim_AddSpot(0, kHotX, kHotY, 35, 80.0);
        dir_ = std::filesystem::path(KALVEX_TEST_TMPDIR) / "view" /
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        std::string table = (dir_ / "table.bin").string();
        ASSERT_EQ(KalvexSim_WriteTable(table.c_str(), 4, 64, -20.0, 150.0), 1);
        window_ = KalvexPosix_CreateWindow();
        handle_ = Kalvex_Initialize(window_);
        ASSERT_NE(handle_, 0);
        ASSERT_EQ(Kalvex_SetTableA(handle_, table.c_str()), 1);
        Kalvex_SetParam(handle_, KALVEX_PARAM_NUC_HOLD, 0);  // frames at once after the NUC

        kalvex_tool::ViewEngineConfig config;
        config.handle = handle_;
        config.celsius = true;
        config.outDir = (dir_ / "out").string();
        config.eventWords = [](int code) { return "event " + std::to_string(code); };
        config.ended = [this] { return ended_.load(); };
        hub_ = std::make_unique<ViewHub>();
        engine_ = std::make_unique<ViewEngine>(*hub_, config);
        kalvex_tool::ViewServerConfig serverConfig;
        serverConfig.listen = "127.0.0.1";
        serverConfig.port = 0;
        serverConfig.token = token;
        serverConfig.control = [this](const std::string &a, const std::string &b) {
            return engine_->Control(a, b);
        };
        server_ = std::make_unique<ViewServer>(*hub_, serverConfig);
        ASSERT_TRUE(server_->Bind());
        engine_->Start();
        server_->Start();
        pump_ = std::thread([this] {
            while (!stop_) {
                KalvexMessage m;
                int got = KalvexPosix_GetMessage(window_, &m, 10);
                auto now = std::chrono::steady_clock::now();
                if (got == 1) engine_->OnMessage(m.message, m.lParam, now);
                engine_->Tick(now);
            }
        });
    }

    void StopViewer() {
        if (server_) server_->Stop();
        stop_ = true;
        if (pump_.joinable()) pump_.join();
        if (engine_) engine_->Stop();
        if (handle_ != 0) Kalvex_Release(handle_);
        if (window_ != nullptr) KalvexPosix_DestroyWindow(window_);
        handle_ = 0;
        window_ = nullptr;
        server_.reset();
        engine_.reset();
        stop_ = false;
        KalvexSim_Reset();
    }

    int port() const { return server_->port(); }
    httplib::Client Client() const {
        httplib::Client c("127.0.0.1", port());
        c.set_read_timeout(10, 0);
        c.set_connection_timeout(5, 0);
        return c;
    }
    std::string Status() const { return hub_->Status().second; }
    long Seq() const { return std::stol(Field(Status(), "seq")); }
    // Waits until this many more frames were published.
    bool MoreFrames(long count) const {
        long from = Seq();
        return Eventually([&] { return Seq() >= from + count; });
    }
    // A control request as the page sends it.
    httplib::Result Post(const std::string &action, const std::string &body = "") const {
        httplib::Headers h = {{"Origin", "http://127.0.0.1:" + std::to_string(port())}};
        return Client().Post(("/api/" + action).c_str(), h, body, "text/plain");
    }

    std::unique_ptr<ViewHub> hub_;
    std::unique_ptr<ViewEngine> engine_;
    std::unique_ptr<ViewServer> server_;
    std::thread pump_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> ended_{false};  // what the engine asks of a replay's end
    KalvexHwnd window_ = nullptr;
    int handle_ = 0;
    std::filesystem::path dir_;
};

// Parts of a multipart/x-mixed-replace stream: JPEG bodies and their frame ids.
struct StreamParts {
    std::string pending;
    std::vector<std::pair<uint32_t, std::string>> parts;
    std::vector<std::string> idTexts;  // the X-Frame-Id headers as sent

    void Feed(const char *data, size_t size) {
        pending.append(data, size);
        while (true) {
            size_t head = pending.find("\r\n\r\n");
            if (head == std::string::npos) return;
            std::string headers = pending.substr(0, head);
            // No std::regex here: readers run on several threads, and
            // libstdc++'s locale caches race under ThreadSanitizer.
            long length = Header(headers, "Content-Length: ");
            if (length < 0) return;
            size_t need = head + 4 + static_cast<size_t>(length) + 2;
            if (pending.size() < need) return;
            parts.emplace_back(static_cast<uint32_t>(Header(headers, "X-Frame-Id: ")),
                               pending.substr(head + 4, static_cast<size_t>(length)));
            idTexts.push_back(HeaderText(headers, "X-Frame-Id: "));
            pending.erase(0, need);
        }
    }

    static long Header(const std::string &headers, const char *name) {
        size_t at = headers.find(name);
        if (at == std::string::npos) return -1;
        return std::strtol(headers.c_str() + at + std::strlen(name), nullptr, 10);
    }
    static std::string HeaderText(const std::string &headers, const char *name) {
        size_t at = headers.find(name);
        if (at == std::string::npos) return "";
        at += std::strlen(name);
        return headers.substr(at, headers.find("\r\n", at) - at);
    }
};

}  // namespace kalvex::viewtest
