// CKalvex: still images of the newest frame and the recording that the capture
// loop feeds.
#include <cwchar>

#include "output/still_image.h"
#include "platform/platform.h"
#include "thermal/kalvex_instance.h"

namespace kalvex {

namespace {
// Recording names are held in buffers of this many code units with the terminator.
constexpr size_t kMaxRecordingPath = 260;
constexpr int kLastSaveType = 13;
}  // namespace

// ---- Still images --------------------------------------------------------------------

int CKalvex::Save(const wchar_t *fileName, int type) {
    // The frame stays whole and allocated while it is written out.
    std::lock_guard frames(frameLock_);
    if (ring_.empty() || CurrentRawImage().Empty() || CurrentColorImage().Empty()) {
        ReportError(KALVEX_EV_NO_FRAME);
        return 0;
    }
    if (type < 0 || type > kLastSaveType) {
        ReportError(KALVEX_EV_INVALID_ARGUMENT);
        return 0;
    }
    const CDibImage &raw = CurrentRawImage();
    const CDibImage &colour = CurrentColorImage();
    const bool flag = outputRowOrder_.load() != 0;
    int result = 0;
    if (fileName != nullptr) {
        if (type <= 6) {
            result = flag ? SaveFlipped(fileName, &colour, type)
                          : SaveImageFile(fileName, &colour, type);
        } else if (type <= 9) {
            static constexpr int kRawFormat[3] = {kStillRaw, kStillPng, kStillTiff};
            const int format = kRawFormat[type - 7];
            result =
                flag ? SaveImageFile(fileName, &raw, format) : SaveFlipped(fileName, &raw, format);
        } else {
            // Codes 10-12 read from the last buffer row unless the flag is set; 13 the reverse.
            const bool fromLastRow = type == 13 ? flag : !flag;
            const std::shared_ptr<const CThermoTableState> table = table_.State();
            result = SaveTemperatureFile(fileName, raw, type, *table, fromLastRow);
        }
    }
    if (result == 0) {
        ReportError(KALVEX_EV_FILE);
        return 0;
    }
    return 1;
}

// ---- Recording requests ----------------------------------------------------------------

int CKalvex::RequestRecording(const wchar_t *name, int kind) {
    StateGuard state(*this);
    const wchar_t *path = name != nullptr ? name : L"";
    // The path must fit the 260-unit buffer that every peer assumes.
    if (std::wcslen(path) >= kMaxRecordingPath) {
        ReportError(KALVEX_EV_INVALID_ARGUMENT);
        return 0;
    }
    std::lock_guard guard(recordLock_);
    recordPath_ = path;
    recordKind_.store(kind);
    return 1;
}

int32_t CKalvex::RecordingRequest(std::wstring *path) {
    std::lock_guard guard(recordLock_);
    *path = recordPath_;
    return recordKind_.load();
}

// ---- Recorder ----------------------------------------------------------------------------

int CKalvex::StartRecording(int kind, const wchar_t *name) {
    if (ring_.empty()) return 0;
    if (recorder_.Start(kind, name, CurrentRawImage(), CurrentColorImage()) == 0) return 0;
    const uint32_t now = platform::TimeGetTime();
    recordStart_.store(now != 0 ? now : 1);  // 0 reads as "not recording"
    return 1;
}

int CKalvex::WriteRecordingFrame(int kind) {
    if (ring_.empty()) return 0;
    bool failed = false;
    const std::shared_ptr<const CThermoTableState> table = table_.State();
    const int result = recorder_.Write(kind, CurrentRawImage(), CurrentColorImage(), *table,
                                       outputRowOrder_.load() != 0,
                                       platform::TimeGetTime() - recordStart_.load(), &failed);
    if (failed) {
        // The recorder has closed a valid file with the frames written before;
        // capture goes on without recording.
        recordStart_.store(0);
        ReportError(KALVEX_EV_FILE);
    }
    return result;
}

int CKalvex::StopRecording(int kind) {
    const int result = recorder_.Stop(kind, platform::TimeGetTime() - recordStart_.load());
    if (result != 0) recordStart_.store(0);
    return result;
}

// ---- The capture loop's side ---------------------------------------------------------------

void CKalvex::RecordingLoopStart() {
    std::wstring path;
    openKind_ = RecordingRequest(&path);
    if (openKind_ != 0 && StartRecording(openKind_, path.c_str()) == 0) ReportError(KALVEX_EV_FILE);
    openPath_ = path;
    splitCounter_ = 0;
    nextPiecePending_ = false;
}

void CKalvex::RecordingStep() {
    std::wstring path;
    const int32_t kind = RecordingRequest(&path);
    if (openKind_ != 0) {
        if (openKind_ == kind && openPath_ == path) {
            if (nextPiecePending_) {
                // The next piece of a split recording is created with the frame
                // that goes into it, so no recording ends with an empty part.
                nextPiecePending_ = false;
                const std::wstring name = NumberedPath(SplitPath(path), splitCounter_);
                if (StartRecording(kind, name.c_str()) == 0) {
                    ReportError(KALVEX_EV_FILE);
                    return;
                }
            }
            WriteRecordingFrame(kind);
            if (!recorder_.PieceFull(splitLimit_.load())) return;
            // Still recording between the pieces (parameter 7 stays set).
            const uint32_t started = recordStart_.load();
            StopRecording(openKind_);
            if (started != 0) recordStart_.store(started);
            ++splitCounter_;
            nextPiecePending_ = true;
            return;
        }
        StopRecording(openKind_);
        splitCounter_ = 0;
        nextPiecePending_ = false;
        openPath_ = path;
        openKind_ = 0;
    }
    if (kind == 0) return;
    openKind_ = kind;
    openPath_ = path;
    if (StartRecording(kind, path.c_str()) == 0) ReportError(KALVEX_EV_FILE);
}

void CKalvex::RecordingLoopEnd() {
    if (openKind_ != 0) StopRecording(openKind_);
    openKind_ = 0;
    nextPiecePending_ = false;
}

}  // namespace kalvex
