// The recorder: one open recording of kind 1 (raw stream), 2 (AVI of the colour
// frames) or 3 (temperature stream), fed one frame at a time by the capture
// thread. Also the Windows-style path splitting used to number split files.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "output/avi_writer.h"
#include "output/dib_image.h"
#include "output/file_object.h"
#include "output/temperature_rows.h"

namespace kalvex {

enum RecordKind : int32_t {
    kRecordNone = 0,
    kRecordRaw = 1,
    kRecordAvi = 2,
    kRecordTemperature = 3
};

// The four parts of a Windows path ("C:", "\dir\", "name", ".ext"); both '\'
// and '/' separate directories.
struct PathParts {
    std::wstring drive, directory, name, extension;
};
PathParts SplitPath(const std::wstring &path);
// "%s%s%s_%d%s" of drive, directory, name, piece and extension.
std::wstring NumberedPath(const PathParts &parts, int piece);

class CRecorder {
  public:
    // Opens a recording of kind; colour gives the AVI frame format, raw the
    // temperature image size. 1 when open, else 0.
    int Start(int kind, const wchar_t *name, const CDibImage &raw, const CDibImage &colour);
    // Appends one frame. slotOrder: rows as they lie in the slot (output
    // row-order flag set) instead of the camera's line order. elapsedMs is
    // the time since the start (see Stop). Returns 1 for kind 2 with an AVI
    // open, else 0. *failed turns true when a write failed: the recording is
    // then already finalised and closed, holding the frames written before.
    int Write(int kind, const CDibImage &raw, const CDibImage &colour,
              const ITemperatureRows &table, bool slotOrder, uint32_t elapsedMs, bool *failed);
    // Closes the recording of kind; elapsedMs is the time since the start.
    // 1 for kinds 1-3, 0 for any other. The AVI rate is timed from the first
    // frame, not from the start, which may lie before a NUC hold in which no
    // frame arrives: frames after the first over the time from the first to
    // the last, or, when the frames carry no time between them, all frames
    // over the time from the first to the stop.
    int Stop(int kind, uint32_t elapsedMs);

    // Whether the open recording is to be finished after the frame just
    // written: its RIFF size in MiB has reached the split limit (compared as
    // unsigned, so a negative limit never splits), or another frame would
    // carry the AVI past 4 GiB, whatever the limit.
    bool PieceFull(int32_t splitLimitMiB) const;

    // The AVI writer's riffSize: 0 while no AVI is open.
    uint32_t RiffSize() const { return avi_.IsOpen() ? avi_.RiffSize() : 0; }
    bool StreamOpen() const { return stream_.IsOpen(); }
    const AviWriter &Avi() const { return avi_; }

    // The AVI rate (frames per second x 100) for frames over elapsedMs. A
    // recording without frames or without elapsed time gets 30 frames per second.
    static uint32_t FinishRate(uint32_t frames, uint32_t elapsedMs);

  private:
    // Writes bytes to the stream; on failure cuts the stream back to its
    // last whole frame and closes it.
    bool WriteStream(const void *data, uint32_t size);
    void FinishAvi(uint32_t elapsedMs);

    CFileObject stream_;
    int64_t streamBytes_ = 0;
    AviWriter avi_;
    std::unique_ptr<CDibImage> temperature_;
    std::vector<uint8_t> scratch_;
    // Times (elapsedMs of Write) of the AVI's first and latest frames.
    uint32_t firstFrameMs_ = 0;
    uint32_t lastFrameMs_ = 0;
};

}  // namespace kalvex
