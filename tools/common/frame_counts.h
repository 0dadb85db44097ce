// What a host tells from the metadata of the frames it reads
// (KalvexFrame_GetInfo): the frame rate from the frames' own times, and the
// frames it did not get, by reason. Shared by `kalvex capture` and `kalvex
// view`; the Python package counts the same way (python/kalvex/camera.py,
// _FrameCounts). Pure arithmetic over the metadata: no library calls.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "kalvex_frame.h"

namespace kalvex_tool {

// A frame id is one unsigned 32-bit number. The library's int-typed calls
// (Kalvex_GetNewID, Kalvex_OneShot, a frame message's lParam) carry the same
// 32 bits, so an id above 2^31 arrives there as a negative int.
inline uint32_t FrameIdOf(long long value) {
    return static_cast<uint32_t>(value);
}
// How the tool, the viewer and their JSON show an id: unsigned decimal
// ("4117067725", never "-177899571" or hexadecimal).
inline std::string FrameIdText(uint32_t id) {
    return std::to_string(id);
}

// Every count only ever grows. For each frame read, against the one read
// before it (or the start of its capture run):
//  - held: frames the library took but held back after a NUC (its hold). A
//    NUC lies between the two frames when the newer one's framesSinceNuc is
//    below its step in sequence numbers; the frames taken since that NUC that
//    the host did not see are its hold.
//  - paused: frames the camera sent that the library did not take (a gap in
//    the camera's counter beyond the step in sequence numbers) across a pause
//    (see Resuming).
//  - lost: the same camera gap anywhere else; frames announced whose slot the
//    ring reused before the host read them; frames the library published that
//    the host never heard of (or failed to read).
class FrameCounts {
  public:
    // A frame the host read, with the metadata the library gave for it.
    void Read(const KalvexFrameInfo &info);
    // A frame announced whose slot the ring had reused before the host read it
    // (its pixels or its metadata).
    void OverwrittenBeforeRead();
    // Capture is about to resume after a pause. newestNs: the timestampNs of
    // the newest frame the library holds (0 for none). The camera's frames up
    // to the first frame taken after that time are counted as paused.
    void Resuming(int64_t newestNs);
    // Capture starts again: sequence numbers and the camera's counter begin
    // anew with the next frame read.
    void NewRun();

    long Lost() const { return lost_ + overwritten_; }
    long Held() const { return held_; }
    long Paused() const { return paused_; }
    // Lost, held and paused together: every frame the camera sent that the
    // host did not read.
    long Dropped() const { return Lost() + Held() + Paused(); }
    long Overwritten() const { return overwritten_; }
    long FramesRead() const { return read_; }
    // Frames per second from the frames' own times: the frames the library
    // took over the time between frames read, leaving out the spans that a
    // NUC hold or a pause interrupted and those between capture runs. 0 until
    // there is such a span.
    double Fps() const;

  private:
    bool havePrevious_ = false;
    uint32_t sequence_ = 0, camera_ = 0;
    int64_t timestampNs_ = 0;
    long overwrittenSinceRead_ = 0;
    // Set by Resuming: the first frame taken after this time follows the pause.
    std::optional<int64_t> resumedAfterNs_;
    long lost_ = 0, held_ = 0, paused_ = 0, overwritten_ = 0, read_ = 0;
    uint64_t spanFrames_ = 0;
    int64_t spanNs_ = 0;
};

}  // namespace kalvex_tool
