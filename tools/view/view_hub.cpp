#include "view_hub.h"

#include <algorithm>

namespace kalvex_tool {

namespace {
constexpr size_t kSnapshotsKept = 4;
}

void ViewHub::PublishFrame(std::shared_ptr<const ViewFrame> frame) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        frame_ = std::move(frame);
    }
    changed_.notify_all();
}

std::shared_ptr<const ViewFrame> ViewHub::Latest() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frame_;
}

std::shared_ptr<const ViewFrame> ViewHub::NextFrame(long after,
                                                    std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    bool fresh = changed_.wait_for(
        lock, timeout, [&] { return closed_ || (frame_ != nullptr && frame_->seq > after); });
    if (!fresh || closed_) return nullptr;
    return frame_;
}

void ViewHub::PublishStatus(std::string json) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        status_ = std::move(json);
        ++statusSeq_;
    }
    changed_.notify_all();
}

std::pair<long, std::string> ViewHub::Status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {statusSeq_, status_};
}

std::pair<long, std::string> ViewHub::NextStatus(long after,
                                                 std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return closed_ || statusSeq_ > after; });
    return {statusSeq_, status_};
}

long ViewHub::AddSnapshot(std::vector<ViewDownload> files) {
    std::lock_guard<std::mutex> lock(mutex_);
    snapshots_.emplace_back(++snapshotSeq_, std::move(files));
    while (snapshots_.size() > kSnapshotsKept) snapshots_.pop_front();
    return snapshotSeq_;
}

bool ViewHub::Snapshot(long number, size_t file, ViewDownload *out) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto &[seq, files] : snapshots_) {
        if (seq != number || file >= files.size()) continue;
        *out = files[file];
        return true;
    }
    return false;
}

ViewReply ViewHub::Submit(std::function<ViewReply()> work, std::chrono::milliseconds timeout) {
    auto request = std::make_shared<Request>();
    request->work = std::move(work);
    std::future<ViewReply> reply = request->reply.get_future();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return {503, R"({"error":"the viewer is stopping"})"};
        requests_.push_back(request);
    }
    if (reply.wait_for(timeout) == std::future_status::ready) return reply.get();
    {
        // Not taken yet: withdraw it, so that a late NUC or recording does
        // not surprise whoever was told it failed.
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = std::find(requests_.begin(), requests_.end(), request);
        if (it != requests_.end()) {
            requests_.erase(it);
            return {503, R"({"error":"the capture loop did not answer in time"})"};
        }
    }
    return reply.get();  // being carried out right now
}

void ViewHub::RunPending() {
    while (true) {
        std::shared_ptr<Request> request;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (requests_.empty()) return;
            request = requests_.front();
            requests_.pop_front();
        }
        try {
            request->reply.set_value(request->work());
        } catch (...) {
            request->reply.set_value({500, R"({"error":"internal error"})"});
        }
    }
}

void ViewHub::AddStreamClient(int delta) {
    std::lock_guard<std::mutex> lock(mutex_);
    streamClients_ += delta;
}

int ViewHub::StreamClients() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return streamClients_;
}

void ViewHub::Close() {
    std::deque<std::shared_ptr<Request>> abandoned;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        abandoned.swap(requests_);
    }
    for (auto &request : abandoned)
        request->reply.set_value({503, R"({"error":"the viewer is stopping"})"});
    changed_.notify_all();
}

bool ViewHub::Closed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}

}  // namespace kalvex_tool
