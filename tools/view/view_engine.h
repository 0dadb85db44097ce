// The capture side of `kalvex view`: takes the frame and event messages of one
// library instance, publishes each frame once (JPEG, temperatures, figures)
// to the hub, and carries out the page's control requests. Every library call
// of the viewer happens on the thread that drives the engine.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "frame_counts.h"
#include "kalvex_measure.h"
#include "view_hub.h"
#include "view_measure.h"

namespace kalvex_tool {

// The record control's sequence (KalvexSeq_RecordA), beside the library's kinds.
inline constexpr int kViewRecordSequence = 100;

struct ViewEngineConfig {
    int handle = 0;
    bool celsius = false;  // a table is loaded: frames carry temperatures
    bool bottomUp = true;  // row-order flag (parameter 17) is 0
    std::string outDir;    // recordings go here
    int jpegQuality = 80;
    // Plain words for an event code.
    std::function<std::string(int)> eventWords;
    // The colours the command line set for the library's image, if it did.
    std::optional<KalvexColorOptions> colour;
    // Whether the camera has sent all it will (a replay past its last frame):
    // its silence is then the end, not a camera gone. Unset: never.
    std::function<bool()> ended;
};

// Time from a frame message to its JPEG being ready, over the frames encoded.
struct ViewLatency {
    long frames = 0;
    double meanMs = 0, maxMs = 0;
};

class ViewEngine {
  public:
    using Clock = std::chrono::steady_clock;

    ViewEngine(ViewHub &hub, ViewEngineConfig config);

    // Starts capture; when the camera cannot start, the engine keeps trying.
    void Start();
    // One message from the notification window, taken at `taken`.
    void OnMessage(unsigned int message, long lParam, Clock::time_point taken);
    // Control requests, the status once a second while no frames come, and
    // attempts to restart capture after the camera went away.
    void Tick(Clock::time_point now);
    // A control request of the page (nuc, pause, resume, record, record/stop,
    // range, snapshot, color, rois, alarms) or of the server (refresh); run on
    // the engine's thread through ViewHub::Submit.
    ViewReply Control(const std::string &action, const std::string &body);
    // Ends a recording and stops capture.
    void Stop();

    ViewLatency latency() const { return latency_; }
    long framesPublished() const { return published_; }

  private:
    struct Event {
        int code;
        Clock::time_point when;
    };
    struct Extreme {
        float celsius = 0;
        int x = 0, y = 0;
    };

    void OnFrame(uint32_t frameId, Clock::time_point taken);
    // The frame's metadata into counts_, once its pixels were read.
    void CountFrame(uint32_t frameId);
    void OnEvent(int code, Clock::time_point now);
    void Lost(Clock::time_point now, const char *why);
    void PublishStatus(Clock::time_point now);
    std::string StatusJson(Clock::time_point now);
    void DrainEvents();

    ViewReply Nuc();
    ViewReply Pause(bool pause);
    ViewReply Record(const std::string &kind);
    ViewReply StopRecording();
    ViewReply Range(const std::string &request);
    ViewReply TakeSnapshot();
    // Encodes the newest frame for a client that came while nobody watched
    // (the frame stays the newest while capture is paused).
    ViewReply Refresh();
    // The newest frame published again with the current measurement (and,
    // recolour, its image in the current colours), so that a change shows
    // at once, while paused too.
    void Republish(bool recolour);
    // The colour image of a frame into colour_: the library's own, or, for a
    // frame it coloured before the page changed the colours, coloured anew.
    bool ReadColour(uint32_t frameId);
    // The capture sequence of a frame (0 once it left the ring), and of the newest.
    uint32_t FrameSequence(uint32_t frameId);
    uint32_t NewestSequence();

    // The raw value that the current frame's temperatures put at celsius;
    // nothing before two distinct temperatures were seen.
    std::optional<double> RawFor(double celsius) const;
    std::optional<double> CelsiusFor(double raw) const;

    ViewHub &hub_;
    ViewEngineConfig config_;
    std::vector<unsigned char> colour_;
    std::vector<float> temps_;
    std::vector<uint16_t> raw_;
    ViewMeasure measure_;
    // The colours changed since the newest frame was taken.
    bool colourStale_ = false;
    // After a change of colours, frames up to this capture sequence may carry
    // the library's colours from before it (one can be between its colouring
    // and its message): they are coloured again.
    bool recolourAfterChange_ = false;
    uint32_t recolourThrough_ = 0;

    enum class State { Starting, Live, Lost, Ended } state_ = State::Starting;
    std::string lostReason_;
    Clock::time_point retryAt_{}, lastFrame_{}, lastStatus_{}, nucUntil_{}, internalAt_{};
    long seq_ = 0, announced_ = 0, published_ = 0;
    // Frame rate, lost, held and paused frames, from the frames' metadata.
    FrameCounts counts_;
    std::optional<float> internal_;
    bool haveStats_ = false;
    Extreme min_, max_;
    float centre_ = 0;
    // Celsius per raw value and a point on that line, from the newest frame
    // with contrast: how the colour range (raw values) is told in degrees.
    std::optional<double> slope_;
    double lineRaw_ = 0, lineCelsius_ = 0;
    std::deque<Event> events_;
    long eventCount_ = 0;
    std::string recordFile_;
    int recordKind_ = 0;
    ViewLatency latency_;
};

}  // namespace kalvex_tool
