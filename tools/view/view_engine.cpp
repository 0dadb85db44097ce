#include "view_engine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "kalvex.h"
#include "kalvex_frame.h"
#include "kalvex_sequence.h"
#include "view_image.h"
#include "view_json.h"

namespace kalvex_tool {

namespace {

constexpr int kW = 640;
constexpr int kH = 480;
constexpr size_t kPixels = static_cast<size_t>(kW) * kH;
// What the library writes for a pixel its table does not cover.
constexpr float kNoTemperature = -999.0f;
constexpr auto kRetry = std::chrono::seconds(1);
constexpr size_t kEventsKept = 8;

double Ms(ViewEngine::Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// "view-20260101-120000" in local time: recordings sort by when they began.
std::string TimeStem() {
    std::time_t now = std::time(nullptr);
    char text[32] = "view";
    // Only the engine's thread asks, so the shared result of localtime is safe here.
    if (const std::tm *local = std::localtime(&now))
        std::strftime(text, sizeof text, "view-%Y%m%d-%H%M%S", local);
    return text;
}

}  // namespace

ViewEngine::ViewEngine(ViewHub &hub, ViewEngineConfig config)
    : hub_(hub),
      config_(std::move(config)),
      colour_(kPixels * 3),
      measure_(config_.handle, config_.celsius, config_.eventWords) {
    if (config_.celsius) {
        temps_.resize(kPixels);
        raw_.resize(kPixels);
    }
    if (!config_.eventWords) config_.eventWords = [](int) { return std::string(); };
    if (config_.colour) measure_.StartColour(*config_.colour);
}

void ViewEngine::Start() {
    auto now = Clock::now();
    lastFrame_ = now;
    counts_.NewRun();
    recolourAfterChange_ = false;  // a new run numbers its frames from 1
    if (Kalvex_Preview(config_.handle) == 1) {
        state_ = State::Live;
        // Starting capture re-applies a reserved parameter, which always
        // records "not supported": not worth showing.
        DrainEvents();
    } else {
        DrainEvents();
        Lost(now, "the camera does not start");
    }
    PublishStatus(now);
}

void ViewEngine::DrainEvents() {
    while (Kalvex_GetLastError(config_.handle) != 0) {
    }
}

void ViewEngine::Lost(Clock::time_point now, const char *why) {
    if (config_.ended && config_.ended()) {
        // Nothing to retry: the last frame stays on the page.
        state_ = State::Ended;
        lostReason_ = "the recording has ended";
        return;
    }
    state_ = State::Lost;
    lostReason_ = why;
    retryAt_ = now + kRetry;
}

void ViewEngine::OnMessage(unsigned int message, long lParam, Clock::time_point taken) {
    if (message == KALVEX_WM_FRAME)
        OnFrame(FrameIdOf(lParam), taken);
    else if (message == KALVEX_WM_EVENT)
        OnEvent(static_cast<int>(lParam), taken);
    else if (message == KALVEX_WM_ALARM)
        measure_.PollAlarms();
}

void ViewEngine::CountFrame(uint32_t frameId) {
    KalvexFrameInfo info{};
    info.size = sizeof info;
    if (KalvexFrame_GetInfo(config_.handle, frameId, &info) == 1) {
        counts_.Read(info);
    } else {
        counts_.OverwrittenBeforeRead();  // its slot went meanwhile
        DrainEvents();
    }
}

void ViewEngine::OnFrame(uint32_t frameId, Clock::time_point taken) {
    ++announced_;
    lastFrame_ = taken;
    if (state_ != State::Live) state_ = State::Live;
    const int h = config_.handle;
    // The library's calls take the id's 32 bits as an int.
    const int id = static_cast<int>(frameId);
    auto frame = std::make_shared<ViewFrame>();
    frame->frameId = frameId;
    frame->messageTime = taken;

    // The picture first: with the temperatures it goes out as one frame.
    colourStale_ = recolourAfterChange_ && FrameSequence(frameId) <= recolourThrough_;
    if (!colourStale_) recolourAfterChange_ = false;  // coloured after any change
    if (hub_.StreamClients() > 0) {
        if (!ReadColour(frameId)) {
            counts_.OverwrittenBeforeRead();
            DrainEvents();
            PublishStatus(taken);
            return;
        }
        frame->jpeg = EncodeJpeg({colour_.data(), kW, kH, config_.bottomUp}, config_.jpegQuality);
    }
    if (config_.celsius) {
        if (Kalvex_GetTemperature(h, id, temps_.data(),
                                  static_cast<int>(temps_.size() * sizeof(float))) != 1 ||
            Kalvex_GetRaw(h, id, raw_.data(), static_cast<int>(raw_.size() * 2)) != 1) {
            // The ring reused the slot before the viewer got to it.
            counts_.OverwrittenBeforeRead();
            DrainEvents();
            PublishStatus(taken);
            return;
        }
        frame->temps.resize(kPixels);
        bool any = false;
        Extreme lo, hi;
        size_t loAt = 0, hiAt = 0;
        for (int r = 0; r < kH; ++r) {
            const size_t from = static_cast<size_t>(BufferRow(r, kH, config_.bottomUp)) * kW;
            float *row = frame->temps.data() + static_cast<size_t>(r) * kW;
            std::memcpy(row, temps_.data() + from, kW * sizeof(float));
            for (int c = 0; c < kW; ++c) {
                float t = row[c];
                if (t == kNoTemperature) continue;
                if (!any || t < lo.celsius) lo = {t, c, r}, loAt = from + static_cast<size_t>(c);
                if (!any || t > hi.celsius) hi = {t, c, r}, hiAt = from + static_cast<size_t>(c);
                any = true;
            }
        }
        haveStats_ = any;
        if (any) {
            min_ = lo;
            max_ = hi;
            centre_ = frame->temps[static_cast<size_t>(kH / 2) * kW + kW / 2];
            int rawLo = raw_[loAt], rawHi = raw_[hiAt];
            if (rawHi != rawLo && hi.celsius != lo.celsius) {
                slope_ = (static_cast<double>(hi.celsius) - lo.celsius) / (rawHi - rawLo);
                lineRaw_ = rawLo;
                lineCelsius_ = lo.celsius;
            }
        }
    }
    CountFrame(frameId);
    frame->seq = ++seq_;
    measure_.PollAlarms();
    frame->measure = measure_.FrameJson(frame->seq, frameId, frame->temps, &colour_);
    ++published_;
    if (!frame->jpeg.empty()) {
        // Ready for the clients from here on.
        double ms = Ms(Clock::now() - taken);
        latency_.meanMs = (latency_.meanMs * static_cast<double>(latency_.frames) + ms) /
                          static_cast<double>(latency_.frames + 1);
        latency_.maxMs = std::max(latency_.maxMs, ms);
        ++latency_.frames;
    }
    hub_.PublishFrame(std::move(frame));
    PublishStatus(taken);
}

void ViewEngine::OnEvent(int code, Clock::time_point now) {
    // The viewer's own calls record these (a slot reused before it read it,
    // the reserved parameter on start): counted elsewhere, not news.
    if (code == KALVEX_EV_NOT_SUPPORTED || code == KALVEX_EV_INVALID_ARGUMENT) return;
    events_.push_back({code, now});
    ++eventCount_;
    while (events_.size() > kEventsKept) events_.pop_front();
    if (code == KALVEX_EV_CAPTURE_ENDED) Lost(now, "the camera stopped sending");
    if (code == KALVEX_EV_FILE && !recordFile_.empty()) {
        recordFile_.clear();
        recordKind_ = 0;
    }
    PublishStatus(now);
}

void ViewEngine::Tick(Clock::time_point now) {
    hub_.RunPending();
    const bool paused = Kalvex_GetParam(config_.handle, KALVEX_PARAM_PAUSE) != 0;
    const int hold = Kalvex_GetParam(config_.handle, KALVEX_PARAM_NUC_HOLD);
    // A camera that vanished without the library noticing: no frame for a
    // while though nothing holds them back.
    if (state_ == State::Live && !paused && now >= nucUntil_ &&
        now - lastFrame_ > std::chrono::seconds(3) + std::chrono::milliseconds(hold)) {
        Lost(now, "no frames from the camera");
        PublishStatus(now);
    }
    if (state_ == State::Lost && now >= retryAt_) {
        Kalvex_Close(config_.handle);
        counts_.NewRun();
        recolourAfterChange_ = false;  // a new run numbers its frames from 1
        if (Kalvex_Preview(config_.handle) == 1) {
            state_ = State::Starting;
            lastFrame_ = now;
        } else {
            retryAt_ = now + kRetry;
        }
        DrainEvents();
        PublishStatus(now);
    }
    if (now - lastStatus_ > std::chrono::seconds(1)) PublishStatus(now);
}

void ViewEngine::Stop() {
    if (recordKind_ != 0) StopRecording();
    Kalvex_Close(config_.handle);
    DrainEvents();
}

ViewReply ViewEngine::Control(const std::string &action, const std::string &body) {
    if (action == "nuc") return Nuc();
    if (action == "pause") return Pause(true);
    if (action == "resume") return Pause(false);
    if (action == "record") return Record(body);
    if (action == "record/stop") return StopRecording();
    if (action == "range") return Range(body);
    if (action == "snapshot") return TakeSnapshot();
    if (action == "refresh") return Refresh();
    if (action == "color" || action == "rois" || action == "alarms") {
        ViewReply reply = action == "color"  ? measure_.SetColour(body)
                          : action == "rois" ? measure_.SetRegions(body)
                                             : measure_.SetAlarms(body);
        if (reply.status == 200 && action == "color") {
            colourStale_ = true;
            // The capture loop has one frame in flight at most: it may have
            // been coloured before the change and be published after it.
            recolourAfterChange_ = true;
            recolourThrough_ = NewestSequence() + 1;
        }
        if (reply.status == 200) Republish(action == "color");
        return reply;
    }
    return {404, R"({"error":"no such control"})"};
}

uint32_t ViewEngine::FrameSequence(uint32_t frameId) {
    KalvexFrameInfo info{};
    info.size = sizeof info;
    if (KalvexFrame_GetInfo(config_.handle, frameId, &info) == 1) return info.sequence;
    DrainEvents();
    return 0;
}

uint32_t ViewEngine::NewestSequence() {
    const int newest = Kalvex_GetNewID(config_.handle);
    return newest == 0 ? 0 : FrameSequence(static_cast<uint32_t>(newest));
}

bool ViewEngine::ReadColour(uint32_t frameId) {
    if (!colourStale_)
        return Kalvex_GetColor(config_.handle, static_cast<int>(frameId), colour_.data(),
                               static_cast<int>(colour_.size())) == 1;
    return KalvexMeasure_Colorize(config_.handle, frameId, &measure_.colour(), colour_.data(),
                                  static_cast<int32_t>(colour_.size()), nullptr) == 1;
}

void ViewEngine::Republish(bool recolour) {
    auto latest = hub_.Latest();
    if (!latest) return;
    auto frame = std::make_shared<ViewFrame>(*latest);
    if (recolour && !frame->jpeg.empty()) {
        if (ReadColour(frame->frameId))
            frame->jpeg =
                EncodeJpeg({colour_.data(), kW, kH, config_.bottomUp}, config_.jpegQuality);
        else
            DrainEvents();  // gone from the ring: the next frame has the new colours
    }
    frame->seq = ++seq_;
    frame->measure = measure_.FrameJson(frame->seq, frame->frameId, frame->temps, &colour_);
    hub_.PublishFrame(std::move(frame));
    PublishStatus(Clock::now());
}

ViewReply ViewEngine::Refresh() {
    auto latest = hub_.Latest();
    if (!latest || !latest->jpeg.empty()) return {200, "{}"};
    if (!ReadColour(latest->frameId)) {
        DrainEvents();  // gone from the ring: the next frame will do
        return {200, "{}"};
    }
    auto frame = std::make_shared<ViewFrame>(*latest);
    frame->jpeg = EncodeJpeg({colour_.data(), kW, kH, config_.bottomUp}, config_.jpegQuality);
    frame->seq = ++seq_;
    hub_.PublishFrame(std::move(frame));
    return {200, "{}"};
}

ViewReply ViewEngine::Nuc() {
    Kalvex_Nuc(config_.handle);
    int hold = Kalvex_GetParam(config_.handle, KALVEX_PARAM_NUC_HOLD);
    nucUntil_ = Clock::now() + std::chrono::milliseconds(std::max(hold, 0));
    PublishStatus(Clock::now());
    return {200, R"({"nuc":true})"};
}

ViewReply ViewEngine::Pause(bool pause) {
    const int h = config_.handle;
    if (pause) {
        Kalvex_Pause(h);
    } else {
        if (Kalvex_GetParam(h, KALVEX_PARAM_PAUSE) != 0) {
            // Nothing is published while paused: the newest frame is the last
            // one before the pause, and the camera's frames between it and
            // the next one taken are the pause's.
            KalvexFrameInfo newest{};
            newest.size = sizeof newest;
            const int id = Kalvex_GetNewID(h);
            if (id == 0 || KalvexFrame_GetInfo(h, FrameIdOf(id), &newest) != 1) {
                newest.timestampNs = 0;
                DrainEvents();
            }
            counts_.Resuming(newest.timestampNs);
        }
        Kalvex_Start(h);
    }
    PublishStatus(Clock::now());
    return {200, pause ? R"({"paused":true})" : R"({"paused":false})"};
}

ViewReply ViewEngine::Record(const std::string &kind) {
    // A sequence is not one of the library's kinds: kViewRecordSequence stands for it here.
    int code = kind == "avi"    ? KALVEX_REC_AVI
               : kind == "temp" ? KALVEX_REC_TEMPERATURE
               : kind == "seq"  ? kViewRecordSequence
                                : 0;
    if (code == 0) return {400, R"({"error":"record what: avi, temp or seq"})"};
    if (code == KALVEX_REC_TEMPERATURE && !config_.celsius)
        return {409, R"j({"error":"temperature recordings need a table (--table)"})j"};
    if (recordKind_ != 0) return {409, R"({"error":"already recording"})"};
    std::error_code ec;
    if (!config_.outDir.empty()) std::filesystem::create_directories(config_.outDir, ec);
    std::filesystem::path file =
        std::filesystem::path(config_.outDir.empty() ? "." : config_.outDir) /
        (TimeStem() + (code == KALVEX_REC_AVI        ? ".avi"
                       : code == kViewRecordSequence ? ".tiff"
                                                     : ".temp-f32"));
    const int requested =
        code == kViewRecordSequence
            ? KalvexSeq_RecordA(config_.handle, file.string().c_str(), KALVEX_SEQ_DEFLATE)
            : Kalvex_RecA(config_.handle, file.string().c_str(), code);
    if (ec || requested != 1) {
        DrainEvents();
        return {500, R"({"error":"the library refused the recording"})"};
    }
    recordFile_ = file.string();
    recordKind_ = code;
    PublishStatus(Clock::now());
    return {200, "{\"file\":" + JsonString(recordFile_) + "}"};
}

ViewReply ViewEngine::StopRecording() {
    if (recordKind_ == 0) return {409, R"({"error":"not recording"})"};
    // Kind 0 ends the recording at the next frame (or when capture stops).
    Kalvex_RecA(config_.handle, recordFile_.c_str(), KALVEX_REC_NONE);
    std::string file = recordFile_;
    recordFile_.clear();
    recordKind_ = 0;
    PublishStatus(Clock::now());
    return {200, "{\"file\":" + JsonString(file) + "}"};
}

std::optional<double> ViewEngine::RawFor(double celsius) const {
    if (!slope_) return std::nullopt;
    return lineRaw_ + (celsius - lineCelsius_) / *slope_;
}

std::optional<double> ViewEngine::CelsiusFor(double raw) const {
    if (!slope_) return std::nullopt;
    return lineCelsius_ + (raw - lineRaw_) * *slope_;
}

ViewReply ViewEngine::Range(const std::string &request) {
    const int h = config_.handle;
    if (request == "auto") {
        Kalvex_SetParam(h, KALVEX_PARAM_AUTO_RANGE, -1);
        PublishStatus(Clock::now());
        return {200, R"({"range":"auto"})"};
    }
    double low = 0, high = 0;
    char tail = 0;
    if (std::sscanf(request.c_str(), "%lf,%lf%c", &low, &high, &tail) != 2 || !std::isfinite(low) ||
        !std::isfinite(high) || !(low < high) || low < -273.15 || high > 2000)
        return {400, R"({"error":"range: 'auto' or 'LOW,HIGH' in degrees, LOW below HIGH"})"};
    auto rawLow = RawFor(low), rawHigh = RawFor(high);
    if (!rawLow || !rawHigh)
        return {409, R"({"error":"no temperatures seen yet to place the range on"})"};
    int a = static_cast<int>(std::clamp(std::lround(*rawLow), 0L, 16383L));
    int b = static_cast<int>(std::clamp(std::lround(*rawHigh), 0L, 16383L));
    if (a >= b) return {400, R"({"error":"the range is narrower than one raw step"})"};
    Kalvex_SetParam(h, KALVEX_PARAM_AUTO_RANGE, 0);
    Kalvex_SetParam(h, KALVEX_PARAM_RANGE_LOW, a);
    Kalvex_SetParam(h, KALVEX_PARAM_RANGE_HIGH, b);
    PublishStatus(Clock::now());
    return {200, "{\"low\":" + JsonNumber(low) + ",\"high\":" + JsonNumber(high) + "}"};
}

ViewReply ViewEngine::TakeSnapshot() {
    auto latest = hub_.Latest();
    if (!latest) return {409, R"({"error":"no frame yet"})"};
    if (!ReadColour(latest->frameId)) {
        DrainEvents();
        return {409, R"({"error":"the frame is gone; try again"})"};
    }
    std::vector<ViewDownload> files;
    std::string stem = "kalvex-" + FrameIdText(latest->frameId);
    files.push_back(
        {stem + ".png", "image/png", EncodePng({colour_.data(), kW, kH, config_.bottomUp})});
    if (files.back().body.empty()) return {500, R"({"error":"PNG encoding failed"})"};
    if (!latest->temps.empty()) {
        // Little-endian float32, top row first, 640 per row.
        std::string bytes(latest->temps.size() * sizeof(float), '\0');
        std::memcpy(bytes.data(), latest->temps.data(), bytes.size());
        files.push_back({stem + ".temp-f32", "application/octet-stream", std::move(bytes)});
    }
    long number = hub_.AddSnapshot(files);
    std::string json = "{\"snapshot\":" + std::to_string(number) +
                       ",\"frame\":" + FrameIdText(latest->frameId) + ",\"files\":[";
    for (size_t i = 0; i < files.size(); ++i) {
        if (i > 0) json += ",";
        json += "{\"name\":" + JsonString(files[i].name) + ",\"url\":\"/api/snapshot/" +
                std::to_string(number) + "/" + std::to_string(i) + "\"}";
    }
    return {200, json + "]}"};
}

void ViewEngine::PublishStatus(Clock::time_point now) {
    lastStatus_ = now;
    hub_.PublishStatus(StatusJson(now));
}

std::string ViewEngine::StatusJson(Clock::time_point now) {
    const int h = config_.handle;
    if (internal_ == std::nullopt || now - internalAt_ > std::chrono::seconds(1)) {
        internalAt_ = now;
        int ok = 0;
        float t = Kalvex_GetInternalTemperature(h, &ok);
        if (ok)
            internal_ = t;
        else
            DrainEvents();  // shown as unknown instead
    }
    const bool paused = Kalvex_GetParam(h, KALVEX_PARAM_PAUSE) != 0;
    const double fps = counts_.Fps();
    const char *state = state_ == State::Lost       ? "lost"
                        : state_ == State::Ended    ? "ended"
                        : paused                    ? "paused"
                        : state_ == State::Starting ? "starting"
                                                    : "live";
    const bool reason = state_ == State::Lost || state_ == State::Ended;
    JsonObject o;
    o.Add("state", JsonString(state));
    o.Add("reason", reason ? JsonString(lostReason_) : "null");
    o.Add("seq", std::to_string(seq_));
    o.Add("frames", std::to_string(announced_));
    // From the frames' own times; the library's figure (parameter 3) spans
    // NUC holds and pauses.
    o.Add("fps", fps > 0 ? JsonNumber(fps) : "null");
    o.Add("libraryFps", JsonNumber(Kalvex_GetParam(h, KALVEX_PARAM_FRAME_RATE) / 100.0));
    o.Add("internal", internal_ ? JsonNumber(*internal_) : "null");
    o.Add("lost", std::to_string(counts_.Lost()));
    o.Add("held", std::to_string(counts_.Held()));
    // Frames the camera sent while paused ("paused" says whether it is now).
    o.Add("pausedFrames", std::to_string(counts_.Paused()));
    // Lost, held and paused together, as older pages and scripts read it.
    o.Add("dropped", std::to_string(counts_.Dropped()));
    o.Add("celsius", config_.celsius ? "true" : "false");
    if (haveStats_) {
        auto point = [](const Extreme &e) {
            return "{\"t\":" + JsonNumber(e.celsius) + ",\"x\":" + std::to_string(e.x) +
                   ",\"y\":" + std::to_string(e.y) + "}";
        };
        o.Add("min", point(min_));
        o.Add("max", point(max_));
        o.Add("centre", centre_ == kNoTemperature ? "null" : JsonNumber(centre_));
    } else {
        o.Add("min", "null");
        o.Add("max", "null");
        o.Add("centre", "null");
    }
    o.Add("nuc", now < nucUntil_ ? "true" : "false");
    o.Add("paused", paused ? "true" : "false");
    o.Add("recording", recordKind_ == 0
                           ? "null"
                           : "{\"kind\":" +
                                 JsonString(recordKind_ == KALVEX_REC_AVI        ? "avi"
                                            : recordKind_ == kViewRecordSequence ? "seq"
                                                                                 : "temp") +
                                 ",\"file\":" + JsonString(recordFile_) + "}");
    const bool autoRange = Kalvex_GetParam(h, KALVEX_PARAM_AUTO_RANGE) != 0;
    auto low = CelsiusFor(Kalvex_GetParam(h, KALVEX_PARAM_RANGE_LOW));
    auto high = CelsiusFor(Kalvex_GetParam(h, KALVEX_PARAM_RANGE_HIGH));
    o.Add("range", std::string("{\"auto\":") + (autoRange ? "true" : "false") +
                       ",\"low\":" + (low ? JsonNumber(*low) : "null") +
                       ",\"high\":" + (high ? JsonNumber(*high) : "null") + "}");
    std::string events = "[";
    for (auto it = events_.rbegin(); it != events_.rend(); ++it) {
        if (events.size() > 1) events += ",";
        events += "{\"code\":" + std::to_string(it->code) +
                  ",\"text\":" + JsonString(config_.eventWords(it->code)) +
                  ",\"ago\":" + JsonNumber(Ms(now - it->when) / 1000.0) + "}";
    }
    o.Add("events", events + "]");
    o.Add("eventCount", std::to_string(eventCount_));
    o.Add("clients", std::to_string(hub_.StreamClients()));
    o.Add("latencyMs", latency_.frames > 0 ? JsonNumber(latency_.meanMs) : "null");
    return o.Text();
}

}  // namespace kalvex_tool
