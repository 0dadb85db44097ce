// What `kalvex view` shares between its capture loop and its web server: the
// newest frame (encoded once, shared by every client), the newest status, the
// last snapshot, and a queue of control requests that only the capture loop
// carries out, so that the library is driven from one thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kalvex_tool {

// One published frame; never changed once published.
struct ViewFrame {
    long seq = 0;          // 1, 2, 3 ... in publishing order
    uint32_t frameId = 0;  // the library's frame id (FrameIdText shows it)
    std::string jpeg;      // empty while nobody watches the stream
    // Temperatures in °C, top row first (as the scene is seen); empty without a table.
    std::vector<float> temps;
    // What the page shows beside the image (ViewMeasure::FrameJson).
    std::string measure;
    std::chrono::steady_clock::time_point messageTime;  // when its frame message was taken
};

// A file handed to the browser.
struct ViewDownload {
    std::string name;         // suggested file name
    std::string contentType;  // "image/png"
    std::string body;
};

// The answer to a control request.
struct ViewReply {
    int status = 200;
    std::string json = "{}";
};

class ViewHub {
  public:
    using Clock = std::chrono::steady_clock;

    void PublishFrame(std::shared_ptr<const ViewFrame> frame);
    std::shared_ptr<const ViewFrame> Latest() const;
    // Waits for a frame newer than seq `after`; null on time-out or close.
    std::shared_ptr<const ViewFrame> NextFrame(long after, std::chrono::milliseconds timeout) const;

    void PublishStatus(std::string json);
    // The newest status and its number (0 before the first).
    std::pair<long, std::string> Status() const;
    // Waits for a status numbered beyond `after`; the current one on time-out.
    std::pair<long, std::string> NextStatus(long after, std::chrono::milliseconds timeout) const;

    // Snapshots, by number; only the newest few are kept.
    long AddSnapshot(std::vector<ViewDownload> files);
    bool Snapshot(long number, size_t file, ViewDownload *out) const;

    // Runs work on the capture loop's thread (RunPending); the reply, or 503
    // when the loop did not get to it within timeout or the hub closed.
    ViewReply Submit(std::function<ViewReply()> work, std::chrono::milliseconds timeout);
    // Carries out the queued requests; called by the capture loop only.
    void RunPending();

    // Stream clients now connected; the loop encodes JPEG only while there are some.
    void AddStreamClient(int delta);
    int StreamClients() const;

    // Wakes every waiting client and refuses new work.
    void Close();
    bool Closed() const;

  private:
    struct Request {
        std::function<ViewReply()> work;
        std::promise<ViewReply> reply;
    };

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::shared_ptr<const ViewFrame> frame_;
    long statusSeq_ = 0;
    std::string status_ = "{}";
    long snapshotSeq_ = 0;
    std::deque<std::pair<long, std::vector<ViewDownload>>> snapshots_;
    std::deque<std::shared_ptr<Request>> requests_;
    int streamClients_ = 0;
    bool closed_ = false;
};

}  // namespace kalvex_tool
