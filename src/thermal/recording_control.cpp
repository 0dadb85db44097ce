#include "thermal/recording_control.h"

#include <cwchar>

#include "kalvex.h"
#include "platform/platform.h"

namespace kalvex {

namespace {
// Recording names are held in buffers of this many code units with the terminator.
constexpr size_t kMaxRecordingPath = 260;
}  // namespace

// ---- Requests ------------------------------------------------------------------------------

int RecordingControl::Request(const wchar_t *name, int kind) {
    const wchar_t *path = name != nullptr ? name : L"";
    // The path must fit the 260-unit buffer that every peer assumes.
    if (std::wcslen(path) >= kMaxRecordingPath) {
        report_(KALVEX_EV_INVALID_ARGUMENT);
        return 0;
    }
    MutexLock guard(requestLock_);
    path_ = path;
    kind_.store(kind);
    sequenceMode_ = 0;
    return 1;
}

int RecordingControl::RequestSequence(const wchar_t *name, bool compress) {
    if (name == nullptr || *name == 0 || std::wcslen(name) >= kMaxRecordingPath) {
        report_(KALVEX_EV_INVALID_ARGUMENT);
        return 0;
    }
    MutexLock guard(requestLock_);
    path_ = name;
    // Parameter 4 keeps the kind last asked of Kalvex_RecW: none.
    kind_.store(kRecordNone);
    sequenceMode_ = compress ? 1 : 2;
    return 1;
}

int32_t RecordingControl::Requested(std::wstring *path) const {
    MutexLock guard(requestLock_);
    *path = path_;
    if (sequenceMode_ != 0) return kRecordSequence;
    const int32_t kind = kind_.load();
    return kind == kRecordSequence ? kRecordRefused : kind;
}

// ---- Sequence ------------------------------------------------------------------------------

int RecordingControl::StartSequence(const wchar_t *name) {
    {
        MutexLock guard(requestLock_);
        sequenceCompressed_ = sequenceMode_ != 2;
    }
    const std::shared_ptr<const CThermoTableState> table = table_.State();
    return ring_.ReadNewest([&](const RingSlot *slot) {
        if (slot == nullptr || slot->raw.Empty()) return 0;
        SequenceContext context;
        if (table->fileBytes && table->fileCrc != 0) {
            context.table = *table->fileBytes;
            context.tableVersion = table->layout;
            context.tablePoints = table->count;
            context.tableCrc = table->fileCrc;
        }
        context.correctionMode = table_.CorrectionMode();
        context.scene = slot->info.scene;
        context.libraryVersion = KALVEX_DLL_VERSION;
        return sequence_.Open(name, context, sequenceCompressed_);
    });
}

int RecordingControl::WriteSequenceFrame(bool *failed) {
    const std::shared_ptr<const CThermoTableState> table = table_.State();
    return ring_.ReadNewest([&](const RingSlot *slot) {
        if (slot == nullptr || slot->raw.Empty() || !sequence_.IsOpen()) return 0;
        // Slots hold the camera's lines bottom row first: the scene's top is the last.
        SequenceFrame frame;
        frame.topRow = slot->raw.Row(slot->raw.Height() - 1);
        frame.stride = -static_cast<ptrdiff_t>(slot->raw.Stride());
        frame.info = slot->info;
        FillRawRange(slot->raw, frame.info);
        frame.tableReference = table->driftReference;
        if (sequence_.WriteFrame(frame) == 1) return 1;
        *failed = true;
        return 0;
    });
}

bool RecordingControl::PieceFull() const {
    return openKind_ == kRecordSequence ? sequence_.PieceFull(params_.splitLimit.load())
                                        : recorder_.PieceFull(params_.splitLimit.load());
}

// ---- Recorder ------------------------------------------------------------------------------

int RecordingControl::Start(int kind, const wchar_t *name) {
    const int started =
        kind == kRecordSequence ? StartSequence(name) : ring_.ReadNewest([&](const RingSlot *slot) {
            return slot != nullptr ? recorder_.Start(kind, name, slot->raw, slot->colour) : 0;
        });
    if (started == 0) return 0;
    const uint32_t now = platform::TimeGetTime();
    start_.store(now != 0 ? now : 1);  // 0 reads as "not recording"
    return 1;
}

int RecordingControl::WriteFrame(int kind) {
    bool failed = false;
    const std::shared_ptr<const CThermoTableState> table = table_.State();
    const int result =
        kind == kRecordSequence
            ? WriteSequenceFrame(&failed)
            : ring_.ReadNewest([&](const RingSlot *slot) {
                  if (slot == nullptr) return 0;
                  return recorder_.Write(kind, slot->raw, slot->colour, *table,
                                         params_.outputRowOrder.load() != 0,
                                         platform::TimeGetTime() - start_.load(), &failed);
              });
    if (failed) {
        // The recorder has closed a valid file with the frames written before;
        // capture goes on without recording.
        start_.store(0);
        report_(KALVEX_EV_FILE);
    }
    return result;
}

int RecordingControl::Stop(int kind) {
    const int result = kind == kRecordSequence
                           ? (sequence_.Close(), 1)
                           : recorder_.Stop(kind, platform::TimeGetTime() - start_.load());
    if (result != 0) start_.store(0);
    return result;
}

// ---- The capture loop's side -----------------------------------------------------------------

void RecordingControl::LoopStart() {
    std::wstring path;
    openKind_ = Requested(&path);
    if (openKind_ != kRecordNone && Start(openKind_, path.c_str()) == 0) report_(KALVEX_EV_FILE);
    openPath_ = path;
    splitCounter_ = 0;
    nextPiecePending_ = false;
}

void RecordingControl::Step() {
    std::wstring path;
    const int32_t kind = Requested(&path);
    if (openKind_ != kRecordNone) {
        if (openKind_ == kind && openPath_ == path) {
            if (nextPiecePending_) {
                // The next piece of a split recording is created with the frame
                // that goes into it, so no recording ends with an empty part.
                nextPiecePending_ = false;
                const std::wstring name = NumberedPath(SplitPath(path), splitCounter_);
                if (Start(kind, name.c_str()) == 0) {
                    report_(KALVEX_EV_FILE);
                    return;
                }
            }
            WriteFrame(kind);
            if (!PieceFull()) return;
            // Still recording between the pieces (parameter 7 stays set).
            const uint32_t started = start_.load();
            Stop(openKind_);
            if (started != 0) start_.store(started);
            ++splitCounter_;
            nextPiecePending_ = true;
            return;
        }
        Stop(openKind_);
        splitCounter_ = 0;
        nextPiecePending_ = false;
        openPath_ = path;
        openKind_ = kRecordNone;
    }
    if (kind == kRecordNone) return;
    openKind_ = kind;
    openPath_ = path;
    if (Start(kind, path.c_str()) == 0) report_(KALVEX_EV_FILE);
}

void RecordingControl::LoopEnd() {
    if (openKind_ != kRecordNone) Stop(openKind_);
    openKind_ = kRecordNone;
    nextPiecePending_ = false;
}

}  // namespace kalvex
