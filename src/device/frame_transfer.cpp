// The two transfer threads of CZCMSdkLib and the calls that start, poll and
// collect them.
#include <chrono>
#include <system_error>

#include "device/row_copy.h"
#include "device/zcm_sdk_lib.h"
#include "platform/platform.h"

namespace kalvex {

namespace {

uint32_t FrameCode(int32_t large) {
    return large != 0 ? kIoctlLargeInDirect : kIoctlInDirect;
}

// The start-frame block goes out with the reply code; its result does not matter.
void SendStartFrame(DeviceHandle handle) {
    CommandBlock block = MakeCommand(kOpStartFrame);
    (void)PipeTransferOutDirect(handle, kCommandPipe, kBlockBytes, block.data());
}

void SingleTransferRun(std::shared_ptr<SingleTransferJob> job) {
    platform::RaiseThreadPriority();
    int32_t status = kDevOk;
    uint32_t elapsed = 0;
    ScopedLink link(job->links, job->devicePath.c_str());
    DeviceHandle handle = link.get();
    if (handle == nullptr) {
        status = kDevOpenFailed;
    } else {
        const uint32_t start = platform::TimeGetTime();
        SendStartFrame(handle);
        uint8_t *target = job->target ? job->target->single.get() : nullptr;
        uint32_t got = 0;
        const int raw = RawDeviceRequest(handle, FrameCode(job->large), kFramePipe, target,
                                         job->lengthBytes, &got);
        status = raw == 0 && got == job->lengthBytes ? kDevOk : kDevFrameFailed;
        elapsed = platform::TimeGetTime() - start;
    }
    link.Close();
    job->elapsedMs.store(elapsed);
    job->status.store(status);
    job->idle.store(1);
    job->completion.Set();
}

void StreamTransferRun(std::shared_ptr<StreamTransferJob> job) {
    platform::RaiseThreadPriority();
    int32_t frames = 0;
    int32_t status = kDevOk;
    uint32_t elapsed = 0;
    bool shortAllowed = true;
    ScopedLink link(job->links, job->devicePath.c_str());
    DeviceHandle handle = link.get();
    if (handle == nullptr) {
        status = kDevOpenFailed;
    } else {
        const uint32_t start = platform::TimeGetTime();
        const int slotCount = job->slotCount;
        if (slotCount < 1 || !job->slots) status = kDevFrameFailed;
        while (status != kDevFrameFailed && job->stopped.load() != 1) {
            SendStartFrame(handle);
            const int write = job->writeIndex.load();
            uint8_t *slot = job->slots->slots[static_cast<size_t>(write)].data;
            uint32_t got = 0;
            const int raw = RawDeviceRequest(handle, FrameCode(job->large), kFramePipe, slot,
                                             job->lengthBytes, &got);
            if (raw != 0) {
                // A failed frame is never published: the run ends on it. A request
                // cancelled by a stop is no failure of the run.
                if (job->stopped.load() != 1) status = kDevFrameFailed;
                break;
            }
            if (got < job->lengthBytes) {
                if (shortAllowed) {
                    shortAllowed = false;
                    continue;
                }
                status = kDevFrameFailed;
                break;
            }
            FrameSlot &stored = job->slots->slots[static_cast<size_t>(write)];
            stored.frameNumber = static_cast<uint32_t>(frames) + 1u;
            stored.endNs = platform::MonotonicNanoseconds();
            stored.utcNs = platform::UtcNanoseconds();
            {
                std::lock_guard guard(job->indexLock);
                job->newestIndex.store(write);
                job->writeIndex.store(
                    StreamNextWriteIndex(write, job->readIndex.load(), slotCount));
            }
            ++frames;
            job->framesTransferred.store(frames);
            job->frameEvent.Set();
        }
        elapsed = platform::TimeGetTime() - start;
    }
    link.Close();
    job->framesTransferred.store(frames);
    job->elapsedMs.store(elapsed);
    job->status.store(status);
    // Any failure, a path that does not open included, shows as an error until
    // StopStreaming collects the run.
    if (status != kDevOk) job->error.store(1);
    job->stopped.store(1);
    job->frameEvent.Wake();
    job->doneEvent.Set();
}

// The thread bodies: the run consumes its reference to the job, and the hold on
// the module goes as the thread's last act.
void SingleTransferMain(std::shared_ptr<SingleTransferJob> job) {
    const std::shared_ptr<platform::ThreadModuleHold> hold = job->hold;
    SingleTransferRun(std::move(job));
    hold->Finish();
}

void StreamTransferMain(std::shared_ptr<StreamTransferJob> job) {
    const std::shared_ptr<platform::ThreadModuleHold> hold = job->hold;
    StreamTransferRun(std::move(job));
    hold->Finish();
}

}  // namespace

bool EndTransferThread(std::thread &thread, OpenLinks &links, TransferEvent &done,
                       platform::ThreadModuleHold *hold, uint32_t waitMs) {
    if (!thread.joinable()) return true;
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const bool cancelled = links.Cancel();
        if (done.WaitSteady(cancelled ? kCancelRepeatMs : waitMs)) break;
        const auto limit = std::chrono::milliseconds(cancelled ? kCancelledWaitMs : waitMs);
        if (!cancelled || std::chrono::steady_clock::now() - start >= limit) {
            if (hold == nullptr || hold->Abandon()) {
                thread.detach();
                return false;
            }
            break;  // it finished just now
        }
    }
    thread.join();
    return true;
}

// ---- Single frames ---------------------------------------------------------------------------

int CZCMSdkLib::SetWaitLimitEnabled(int on) {
    waitLimitEnabled_.store(on);
    return 1;
}

int CZCMSdkLib::CaptureSingleFrame() {
    return CaptureSingleFrame({});
}

void CZCMSdkLib::WakeSingleFrameWaiter() {
    CurrentSingleJob()->completion.Wake();
}

int CZCMSdkLib::CaptureSingleFrame(const std::function<bool()> &abandon) {
    std::shared_ptr<SingleTransferJob> job;
    {
        // Held only while starting: a second caller must see 21, not block.
        std::lock_guard guard(singleLock_);
        {
            std::lock_guard state(jobsLock_);
            job = singleJob_;
        }
        if (job->idle.load() != 1) return kDevBusy;
        // The previous thread has finished its job; collect it.
        if (singleThread_.joinable()) singleThread_.join();

        job = std::make_shared<SingleTransferJob>();
        job->target = CurrentBuffers();
        job->lengthBytes =
            static_cast<uint32_t>(transferSamples_) * (sixteenBit_.load() == 1 ? 2u : 1u);
        job->sixteenBit = sixteenBit_.load();
        job->large = largeTransfer_.load();
        job->devicePath = DevicePath();
        job->hold = std::make_shared<platform::ThreadModuleHold>();
        job->idle.store(0);
        {
            std::lock_guard state(jobsLock_);
            singleJob_ = job;
        }
        try {
            singleThread_ = std::thread(SingleTransferMain, job);
        } catch (const std::system_error &) {
            job->hold->Finish();
            job->idle.store(1);
            return kDevFrameFailed;
        }
    }
    const bool finished =
        job->completion.Wait(waitLimitEnabled_.load() != 0 ? waitLimitMs_ : kFrameWaitMs,
                             [&] { return abandon && abandon(); });
    lastTransferMs_.store(job->elapsedMs.load());
    if (finished) return job->status.load();
    // The enabled limit leaves the transfer running (a later call may collect
    // its frame). A wait bounded or abandoned otherwise ends the transfer too;
    // either way the thread runs on with its own job and buffer until the
    // driver lets it go.
    if (waitLimitEnabled_.load() != 0 && !(abandon && abandon())) return kDevFrameFailed;
    job->links.Cancel();
    return kDevWaitCut;
}

int CZCMSdkLib::ReadSingleFrame(uint8_t *destination) {
    if (destination == nullptr) return kDevNullBuffer;
    std::shared_ptr<SingleTransferJob> job;
    std::shared_ptr<FrameBuffers> buffers;
    {
        std::lock_guard state(jobsLock_);
        job = singleJob_;
        buffers = buffers_;
    }
    // A transfer still writing into the buffer must not be read.
    if (job->idle.load() != 1) return kDevBusy;
    if (!buffers || !buffers->single) return kDevNullBuffer;
    CopyRowsReversed(destination, buffers->single.get(), width_, height_);
    return kDevOk;
}

// ---- Streaming
// -------------------------------------------------------------------------------------

int CZCMSdkLib::StartStreaming() {
    std::lock_guard guard(streamLock_);
    const auto previous = CurrentStreamJob();
    if (previous->stopped.load() != 1) return kDevBusy;
    // A run that ended by itself and was never collected.
    EndTransferThread(streamThread_, previous->links, previous->doneEvent, previous->hold.get(),
                      stopWaitMs_.load());

    auto job = std::make_shared<StreamTransferJob>();
    const int sixteen = sixteenBit_.load();
    job->lengthBytes = static_cast<uint32_t>(transferSamples_) * (sixteen != 0 ? 2u : 1u);
    job->slots = CurrentBuffers();
    job->slotCount = job->slots ? static_cast<int32_t>(job->slots->slots.size()) : 0;
    job->sixteenBit = sixteen;
    job->large = largeTransfer_.load();
    job->devicePath = DevicePath();
    job->hold = std::make_shared<platform::ThreadModuleHold>();
    job->stopped.store(0);
    {
        std::lock_guard state(jobsLock_);
        streamJob_ = job;
    }
    try {
        streamThread_ = std::thread(StreamTransferMain, job);
    } catch (const std::system_error &) {
        job->hold->Finish();
        job->stopped.store(1);
        return kDevFrameFailed;
    }
    CountStreaming(cameraIndex_.load());
    return kDevOk;
}

int CZCMSdkLib::GetStreamState() {
    return GetStreamState({});
}

void CZCMSdkLib::WakeStreamWaiters() {
    CurrentStreamJob()->frameEvent.Wake();
}

int CZCMSdkLib::GetStreamState(const std::function<bool()> &abandon) {
    const auto job = CurrentStreamJob();
    if (job->error.load() == 1) return kStreamFailed;
    if (job->stopped.load() == 1) return kStreamIdle;
    {
        std::lock_guard guard(job->indexLock);
        const int write = job->writeIndex.load();
        const int read = job->readIndex.load();
        if (StreamFramesAvailable(write, read, job->slotCount) >= 1) {
            const int newest = job->newestIndex.load();
            job->readIndex.store(newest >= 0 ? newest : StreamNewestSlot(write, job->slotCount));
            return kStreamFrameReady;
        }
    }
    bool abandoned = false;
    const bool signalled = job->frameEvent.Wait(kFrameWaitMs, [&] {
        abandoned = abandon && abandon();
        return abandoned || job->stopped.load() == 1 || job->error.load() == 1;
    });
    if (signalled || abandoned) return kStreamNoFrame;
    if (job->error.load() == 1) return kStreamFailed;
    if (job->stopped.load() == 1) return kStreamIdle;
    return kStreamFailed;  // no frame within 6000 ms
}

int CZCMSdkLib::ReadStreamFrame(uint8_t *destination, FrameStamp *stamp) {
    if (destination == nullptr) return kDevNullBuffer;
    const auto job = CurrentStreamJob();
    const auto buffers = CurrentBuffers();
    if (!buffers || buffers->slots.empty()) return kDevNullBuffer;
    const int count = static_cast<int>(buffers->slots.size());
    const int read = job->readIndex.load();
    if (read < 0 || read >= count) return kDevNullBuffer;
    const FrameSlot &stored = buffers->slots[static_cast<size_t>(read)];
    const uint8_t *slot = stored.data;
    if (slot == nullptr) return kDevNullBuffer;
    CopyRowsReversed(destination, slot, width_, height_);
    if (stamp != nullptr) *stamp = FrameStamp{stored.frameNumber, stored.endNs, stored.utcNs};
    std::lock_guard guard(job->indexLock);
    job->readIndex.store(read + 1 >= count ? 0 : read + 1);
    return kDevOk;
}

int CZCMSdkLib::StopStreaming() {
    std::lock_guard guard(streamLock_);
    CountStreaming(-1);
    const auto job = CurrentStreamJob();
    if (job->stopped.load() == 1 && job->error.load() == 0) {
        if (streamThread_.joinable())
            EndTransferThread(streamThread_, job->links, job->doneEvent, job->hold.get(),
                              stopWaitMs_.load());
        return kDevOk;
    }
    if (job->stopped.load() == 0) {
        job->stopped.store(1);
        job->frameEvent.Wake();
    }
    int status = kDevFrameFailed;
    const bool ended =
        !streamThread_.joinable() || EndTransferThread(streamThread_, job->links, job->doneEvent,
                                                       job->hold.get(), stopWaitMs_.load());
    if (ended) {
        status = job->status.load();
        lastTransferMs_.store(job->elapsedMs.load());
    } else {
        // The thread is stuck in the driver, which could not cancel. It was left
        // behind with its own job and buffers; give this device fresh ones, so it
        // can never write into memory that a later run or reader uses.
        ReplaceBuffers();
        std::lock_guard state(jobsLock_);
        streamJob_ = std::make_shared<StreamTransferJob>();
        return status;
    }
    job->stopped.store(1);
    job->error.store(0);
    return status;
}

int CZCMSdkLib::StreamWriteIndex() const {
    return CurrentStreamJob()->writeIndex.load();
}
int CZCMSdkLib::StreamReadIndex() const {
    return CurrentStreamJob()->readIndex.load();
}
int CZCMSdkLib::StreamFramesTransferred() const {
    return CurrentStreamJob()->framesTransferred.load();
}

bool CZCMSdkLib::CancelSingleTransfer() {
    return CurrentSingleJob()->links.Cancel();
}

bool CZCMSdkLib::CancelRequestsOf(std::thread::id thread) {
    return commandLinks_.Cancel(thread);
}

}  // namespace kalvex
