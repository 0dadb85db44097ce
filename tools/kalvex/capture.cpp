// kalvex capture: continuous capture with a message loop over the frame and
// event messages, a live status line, snapshots and a recording.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>
#include <utility>

#include "commands.h"
#include "frame_counts.h"
#include "frame_stats.h"
#include "kalvex.h"
#include "kalvex_frame.h"
#include "kalvex_sequence.h"
#include "kalvex_sim.h"
#include "measure_options.h"
#include "outputs.h"
#include "session.h"
#include "table_file.h"
#include "view_json.h"

namespace kalvex_tool {

namespace {

using Clock = std::chrono::steady_clock;

struct CaptureOptions {
    CameraOptions camera;
    ParamOptions params;
    SceneOptions scene;
    MeasureOptions measure;
    std::optional<double> seconds;
    std::optional<long> frames;
    std::vector<Snapshot> snapshots;
    long snapshotEvery = 0;
    std::optional<Recording> record;
    std::string out;
    double nucEvery = 0;
    bool json = false;
};

std::vector<Option> CaptureOptionList(CaptureOptions *o) {
    std::vector<Option> options;
    options.push_back({"--seconds", "S", "capture for S seconds (default 3 unless --frames)",
                       [o](const std::string &v) {
                           o->seconds = ParseDouble(v, "--seconds", 0, kMaxSeconds);
                           if (*o->seconds <= 0) throw UsageError("--seconds must be positive");
                       }});
    options.push_back(
        {"--frames", "N", "capture until N frames have arrived",
         [o](const std::string &v) { o->frames = ParseInt(v, "--frames", 1, 100000000); }});
    options.push_back({"--snapshot", "TYPE[:FILE]",
                       "save the newest frame at the end (repeatable; type by number or name)",
                       [o](const std::string &v) { o->snapshots.push_back(ParseSnapshot(v)); }});
    options.push_back({"--snapshot-every", "N",
                       "save the snapshots every N frames instead, numbered",
                       [o](const std::string &v) {
                           o->snapshotEvery = ParseInt(v, "--snapshot-every", 1, 100000000);
                       }});
    options.push_back({"--record", "KIND[:FILE]",
                       "record the stream: raw, avi, temp, or seq (a radiometric sequence, "
                       "multi-page TIFF with each frame's metadata and the table; seq-none "
                       "uncompressed)",
                       [o](const std::string &v) {
                           if (o->record) throw UsageError("only one --record");
                           o->record = ParseRecording(v);
                       }});
    options.push_back({"--out", "DIR", "folder for the files (created if missing)",
                       [o](const std::string &v) { o->out = v; }});
    options.push_back(
        {"--nuc-every", "S", "perform a NUC every S seconds", [o](const std::string &v) {
             o->nucEvery = ParseDouble(v, "--nuc-every", 0, kMaxSeconds);
             if (o->nucEvery <= 0) throw UsageError("--nuc-every must be positive");
         }});
    options.push_back({"--json", "",
                       "print one JSON object per status line and one for the summary",
                       [o](const std::string &) { o->json = true; }});
    o->params.AddTo(&options);
    o->camera.AddTo(&options);
    o->scene.AddTo(&options);
    o->measure.AddTo(&options);
    return options;
}

const CommandHelp kHelp = {
    "kalvex capture [options]",
    "Previews for a time or a number of frames, showing frames, frames per second (from the\n"
    "frames' own times), the camera's internal temperature, lost and held frames and, with a\n"
    "table loaded, the minimum, maximum and centre temperatures of each frame; then prints\n"
    "a summary and saves the requested snapshots.",
    "Save types: bmp raw jpeg100 jpeg70 jpeg20 png tiff raw16 png16 tiff16 temp-s8 temp-u8\n"
    "temp-i32 temp-f32 (or 0-13). Default names: frame.<type> and capture.<kind> in --out.\n"
    "From each frame's metadata: fps from the frames' own times, NUC holds left out; held:\n"
    "frames the library took and held back (a NUC's hold); lost: frames the camera sent\n"
    "that the library never took (gaps in its frame counter) and frames whose slot the ring\n"
    "reused before the tool read them. Neither count goes down.\n"
    "Files show the scene upright, top row first (BMP and AVI bottom-up as their formats\n"
    "store it), unless --library-row-order. Options, the table and the output files are\n"
    "checked before the camera starts; nothing is written before.\n"
    "Without a real camera the simulated one is used (see --sim, --no-sim).\n"
    "Regions (--roi) are measured in every frame; the status line shows a spot's mean and\n"
    "any other region's maximum, alarms are printed as they rise and clear, --stats writes\n"
    "a row per frame and region as it goes. --palette, --agc and --isotherm colour the\n"
    "colour snapshots and the AVI recording.\n"
    "Exit status: 0 done, 1 failed, 2 bad command line, 130 after Ctrl-C (files finalised)."};

// The live one-line status: redrawn in place on a terminal, cut to its width
// so that it never wraps; plain lines otherwise.
class StatusLine {
  public:
    explicit StatusLine(bool terminal) : terminal_(terminal) {}
    void Show(const std::string &text) {
        if (terminal_) {
            std::printf("\r%s\033[K", FitToWidth(text, TerminalColumns() - 1).c_str());
            shown_ = true;
        } else {
            std::printf("%s\n", text.c_str());
        }
        std::fflush(stdout);
    }
    void End() {
        if (shown_) std::printf("\n");
        shown_ = false;
    }

  private:
    bool terminal_;
    bool shown_ = false;
};

// Frames in a finished recording, from the file itself.
long RecordedFrames(int kind, const std::string &path) {
    int64_t size = FileSize(path);
    if (size < 0) return -1;
    if (IsSequence(kind)) {
        const int32_t seq = KalvexSeq_OpenA(path.c_str());
        if (seq <= 0) return -1;
        const long count = KalvexSeq_Count(seq);
        KalvexSeq_Close(seq);
        return count;
    }
    if (kind == KALVEX_REC_RAW) return static_cast<long>(size / (kWidth * kHeight * 2));
    if (kind == KALVEX_REC_TEMPERATURE) return static_cast<long>(size / (kWidth * kHeight * 4));
    std::ifstream in(path, std::ios::binary);
    unsigned char field[4] = {};
    in.seekg(48);
    in.read(reinterpret_cast<char *>(field), 4);
    if (!in) return -1;
    return static_cast<long>(field[0] | field[1] << 8 | field[2] << 16 |
                             static_cast<unsigned long>(field[3]) << 24);
}

// The pieces of a split recording: name, name_1, name_2 ...
std::vector<std::string> RecordingPieces(const std::string &path) {
    std::vector<std::string> pieces;
    if (FileSize(path) >= 0) pieces.push_back(path);
    size_t slash = path.find_last_of('/');
    size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) dot = path.size();
    for (int k = 1;; ++k) {
        std::string piece = path.substr(0, dot) + "_" + std::to_string(k) + path.substr(dot);
        if (FileSize(piece) < 0) break;
        pieces.push_back(piece);
    }
    return pieces;
}

// {"path":..., "type":..., "bytes":...}
std::string FileJson(const std::string &path, const char *type) {
    JsonObject j;
    j.Add("path", JsonString(path));
    j.Add("type", JsonString(type));
    j.Add("bytes", std::to_string(FileSize(path)));
    return j.Text();
}

// The first option that asks for temperatures, empty when none does.
std::string TemperatureOutput(const CaptureOptions &o) {
    for (const Snapshot &s : o.snapshots)
        if (HoldsTemperatures(*s.type)) return SnapshotOption(s);
    if (o.record && o.record->kind == KALVEX_REC_TEMPERATURE) return "--record temp";
    return o.measure.TemperatureOption();
}

std::string SnapshotPath(const CaptureOptions &o, const Snapshot &s) {
    return InDirectory(o.out, s.file.empty() ? std::string("frame") + s.type->suffix : s.file);
}

// Everything about the options that can be known before a camera is touched;
// throws UsageError.
void CheckCaptureOptions(CaptureOptions &o) {
    o.measure.Check();
    // A replay without a limit captures the recording once (its length is
    // known when the camera is set up); anything else 3 s.
    if (!o.seconds && !o.frames && (o.camera.replay.empty() || o.camera.replayLoop))
        o.seconds = 3.0;
    if (o.snapshotEvery > 0 && o.snapshots.empty())
        throw UsageError("--snapshot-every needs at least one --snapshot");
    const int holdMs = o.params.nucHold.value_or(1200);
    if (o.nucEvery > 0 && o.nucEvery * 1000.0 <= holdMs)
        throw UsageError("--nuc-every must be longer than the NUC hold (" + std::to_string(holdMs) +
                         " ms, --nuc-hold): no frame would arrive between corrections");
    if (!o.params.libraryRowOrder && o.snapshotEvery > 0 && o.record) {
        for (const Snapshot &s : o.snapshots)
            if (!CanSaveUprightWhileRecording(*s.type))
                throw UsageError(std::string("--snapshot ") + s.type->name +
                                 " with --snapshot-every cannot be saved upright while a "
                                 "recording runs (add --library-row-order, or save it at the end)");
    }
}

std::string RecordPath(const CaptureOptions &o) {
    if (!o.record) return "";
    return InDirectory(o.out, o.record->file.empty()
                                  ? std::string("capture") + RecordingSuffix(o.record->kind)
                                  : o.record->file);
}

// The table parsed and every output file writable, before the camera starts.
// Returns the table's temperature range (min = max when unknown).
std::pair<double, double> CheckCaptureFiles(const CaptureOptions &o) {
    std::pair<double, double> range{0.0, 0.0};
    if (!o.params.table.empty()) {
        KalvexTableInfo table = ReadTable(o.params.table);
        if (!TableRange(table, &range.first, &range.second)) range = {0.0, 0.0};
    }
    std::vector<std::pair<std::string, std::string>> outputs;
    for (const Snapshot &s : o.snapshots)
        outputs.emplace_back(SnapshotOption(s), SnapshotPath(o, s));
    if (o.record) outputs.emplace_back("--record", RecordPath(o));
    if (!o.measure.stats.empty())
        outputs.emplace_back("--stats", InDirectory(o.out, o.measure.stats));
    CheckDistinctOutputs(outputs);
    if (!o.out.empty()) MakeDirectory(o.out);
    for (const Snapshot &s : o.snapshots) {
        std::string path = SnapshotPath(o, s);
        CheckOutputFile(o.snapshotEvery > 0 ? Numbered(path, o.snapshotEvery) : path);
    }
    if (o.record) CheckOutputFile(RecordPath(o));
    if (!o.measure.stats.empty()) CheckOutputFile(InDirectory(o.out, o.measure.stats));
    return range;
}

// Maps one frame before the first one that is kept: the library colour-maps
// each frame with the range the frame before it set, so without it the first
// picture is mapped with the default range (all white for a warm scene).
void PrimeColourRange(Session &session, const ParamOptions &params) {
    // A replay would lose its first recorded frame to it.
    if (params.autoRange.value_or(-1) == 0 || session.replaying()) return;
    Kalvex_OneShot(session.handle());
    session.PopEvents();
}

// One run of `kalvex capture`: checks, opens the camera, runs the message
// loop and prints the summary. The loop's state lives in members so that each
// step can be read on its own.
class CaptureRun {
  public:
    explicit CaptureRun(CaptureOptions &o) : o_(o) {}

    int Run() {
        Prepare();
        Open();
        Start();
        Loop();
        Stop();
        return Summarise();
    }

  private:
    // Options and files, before the camera is touched.
    void Prepare() {
        CheckCaptureOptions(o_);
        tableRange_ = CheckCaptureFiles(o_);
        layout_ = o_.params.libraryRowOrder ? RowLayout::Library : RowLayout::Upright;
        if (layout_ == RowLayout::Upright) o_.params.outputRowOrder = kUprightRecordingRowOrder;
        recordPath_ = RecordPath(o_);
    }

    // The instance, its parameters and scene, and the recording request.
    void Open() {
        session_.emplace(o_.camera);
        Session &session = *session_;
        h_ = session.handle();
        if (!o_.seconds && !o_.frames) o_.frames = session.ReplayState().frames;
        EnsureTemperatureTable(session, o_.params, TemperatureOutput(o_), ownTable_);
        if (ownTable_ &&
            !TableRange(ReadTable(o_.params.table), &tableRange_.first, &tableRange_.second))
            tableRange_ = {0.0, 0.0};
        session.Apply(o_.params);
        o_.scene.Apply(session);
        // The palette colours every frame from the first one (the primer too).
        measure_.emplace(o_.measure, o_.out);
        measure_->Apply(h_);
        bool colourOutput = o_.record && o_.record->kind == KALVEX_REC_AVI;
        for (const Snapshot &s : o_.snapshots) colourOutput = colourOutput || s.type->code <= 6;
        if (colourOutput) PrimeColourRange(session, o_.params);
        if (o_.record && IsSequence(o_.record->kind)) {
            const int options =
                o_.record->kind == kRecordSequence ? KALVEX_SEQ_DEFLATE : KALVEX_SEQ_UNCOMPRESSED;
            if (KalvexSeq_RecordA(h_, recordPath_.c_str(), options) != 1)
                session.Fail("cannot request the sequence '" + recordPath_ + "'");
        } else if (o_.record && Kalvex_RecA(h_, recordPath_.c_str(), o_.record->kind) != 1)
            session.Fail("cannot request the recording '" + recordPath_ +
                         "' (this build of the library may not record)");
        session.PopEvents();
        session.window().Discard();
    }

    void Start() {
        Session &session = *session_;
        Say("capturing from camera %d%s%s\n", session.camera(),
            session.replaying()   ? " (simulated, replaying a recording)"
            : session.simulated() ? " (simulated)"
                                  : "",
            o_.params.table.empty() && session.ReplayTable().empty() ? ", no table: raw values"
                                                                     : "");
        if (!session.Preview()) session.Fail("cannot start capture", true);
        // Starting capture re-applies a reserved parameter, which always records
        // "not supported"; anything else is worth a warning.
        session.WarnPending(KALVEX_EV_NOT_SUPPORTED);

        reader_.emplace(h_, !o_.params.table.empty(), o_.params.rowOrder.value_or(0));
        reader_->SetTableRange(tableRange_.first, tableRange_.second);
        status_.emplace(StdoutIsTerminal());
        tick_ = std::chrono::milliseconds(StdoutIsTerminal() ? 250 : 1000);
        start_ = Clock::now();
        // Frames resume only when a NUC's hold is over (after a table load,
        // --nuc, or one the library starts itself when capture begins), so
        // the seconds count from the first frame, whatever their number.
        nucPeriod_ = Seconds(o_.nucEvery);
        nextNuc_ = start_ + nucPeriod_;
        nextStatus_ = start_ + tick_;
        lastFrame_ = start_;
        watchdog_ = std::chrono::milliseconds(10000 + o_.params.nucHold.value_or(1200));
    }

    static Clock::duration Seconds(double s) {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
    }
    Clock::time_point SecondsFrom(Clock::time_point from) const {
        return from + Seconds(*o_.seconds);
    }

    // From the frames' metadata (FrameCounts): held, frames the library took
    // from the camera and held back (a NUC's hold); lost, frames the camera
    // sent that the library never took (gaps in its frame counter), frames
    // whose slot the ring reused before the tool read them, and frames it
    // never heard of. The tool never pauses, so nothing counts as paused.
    // None of them ever goes down.
    long Held() const { return counts_.Held(); }
    long Lost() const { return counts_.Lost(); }
    // Frames per second from the frames' own times, leaving out the NUC holds;
    // 0 before two frames were read.
    double FrameRate() const { return counts_.Fps(); }
    // The frame's metadata; a frame whose slot went before it was asked counts
    // as overwritten.
    void CountFrame(uint32_t frameId) {
        KalvexFrameInfo info{};
        info.size = sizeof info;
        if (KalvexFrame_GetInfo(h_, frameId, &info) != 1) {
            session_->PopEvents();
            counts_.OverwrittenBeforeRead();
            return;
        }
        counts_.Read(info);
    }

    std::string StatusText() {
        Session &session = *session_;
        int ok = 0;
        float internal = Kalvex_GetInternalTemperature(h_, &ok);
        if (!ok) session.PopEvents();  // reported as "-" instead
        const double rate = FrameRate();
        char text[512];
        char inside[32] = "-";
        if (ok)
            std::snprintf(inside, sizeof inside,
                          "%.2f \xC2\xB0"
                          "C",
                          static_cast<double>(internal));
        // No rate until two frames have been read.
        char fps[32] = "";
        if (rate > 0) std::snprintf(fps, sizeof fps, "  %.2f fps", rate);
        std::string frame = fetched_ > 0 ? DescribeStats(last_) : "waiting for frames";
        double hold = session.NucHoldLeft();
        // A NUC the library starts by itself holds frames just the same; the
        // tool sees only that none came yet.
        const double sinceStart = std::chrono::duration<double>(Clock::now() - start_).count();
        const double holdSeconds = Kalvex_GetParam(h_, KALVEX_PARAM_NUC_HOLD) / 1000.0;
        if (hold <= 0 && announced_ == 0 && sinceStart < holdSeconds) {
            char wait[96];
            std::snprintf(wait, sizeof wait,
                          "waiting for frames (a NUC holds them up to %.1f s more)",
                          holdSeconds - sinceStart);
            frame = wait;
        }
        if (hold > 0) {
            char nuc[64];
            std::snprintf(nuc, sizeof nuc, "NUC, frames resume in %.1f s", hold);
            frame = fetched_ > 0 ? std::string(nuc) + "  " + frame : nuc;
        }
        std::snprintf(text, sizeof text, "frames %ld%s  internal %s  lost %ld  held %ld  %s",
                      announced_, fps, inside, Lost(), Held(), frame.c_str());
        if (measure_->HasRegions()) return std::string(text) + "  " + measure_->StatusText();
        return std::string(text);
    }

    // Whether the run has what it asked for (time or frames).
    bool Done(Clock::time_point now) const {
        if (deadline_ && now >= *deadline_) return true;
        return o_.frames && announced_ >= *o_.frames;
    }

    // The message loop; ends when done, interrupted or failed (failure_).
    void Loop() {
        Session &session = *session_;
        InstallInterruptHandler();
        while (true) {
            auto now = Clock::now();
            if (Interrupted()) {
                interrupted_ = true;
                break;
            }
            if (Done(now)) break;
            if (o_.nucEvery > 0 && now >= nextNuc_) {
                session.Nuc();
                nextNuc_ += nucPeriod_;
            }
            if (now >= nextStatus_) {
                ShowStatus();
                nextStatus_ += tick_;
            }
            // A replay that has served its last frame sends no more: what
            // was still on its way has come after a second.
            if (session.replaying() && now - lastFrame_ > std::chrono::seconds(1) &&
                session.ReplayState().finished == 1)
                break;
            if (now - lastFrame_ > watchdog_ + Seconds(session.NucHoldLeft())) {
                failure_.emplace(
                    "no frame arrived for " +
                        std::to_string(
                            std::chrono::duration_cast<std::chrono::seconds>(now - lastFrame_)
                                .count()) +
                        " s",
                    KALVEX_EV_ACQUISITION);
                break;
            }
            auto wake = std::min(nextStatus_, deadline_.value_or(nextStatus_));
            if (o_.nucEvery > 0) wake = std::min(wake, nextNuc_);
            auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count();
            WindowMessage m;
            int got =
                session.window().Next(&m, static_cast<int>(std::clamp<long long>(wait, 0, 100)));
            if (got < 0) {
                failure_.emplace("the message window failed", KALVEX_EV_NO_MEMORY);
                break;
            }
            if (got == 0) continue;
            bool stop = false;
            if (m.message == KALVEX_WM_FRAME)
                stop = !OnFrame(static_cast<int>(m.lParam));
            else if (m.message == KALVEX_WM_EVENT)
                stop = !OnEvent(static_cast<int>(m.lParam));
            if (stop) break;
        }
    }

    // One frame message: read it, count it, save the periodic snapshots.
    // false ends the loop (failure_ set).
    bool OnFrame(int frameId) {
        ++announced_;
        lastFrame_ = Clock::now();
        if (o_.seconds && !deadline_) deadline_ = SecondsFrom(lastFrame_);
        FrameStats stats;
        if (reader_->Read(frameId, &stats)) {
            ++fetched_;
            last_ = stats;
            CountFrame(FrameIdOf(frameId));
            if (!measure_->Frame(h_, FrameIdOf(frameId))) session_->PopEvents();
        } else {
            session_->PopEvents();  // the refusal's code 5, counted as lost
            counts_.OverwrittenBeforeRead();
        }
        PrintAlarms();
        if (o_.snapshotEvery > 0 && announced_ % o_.snapshotEvery == 0) {
            try {
                for (const Snapshot &s : o_.snapshots)
                    SaveFrame(h_, Numbered(SnapshotPath(o_, s), announced_), *s.type, layout_,
                              o_.record.has_value());
            } catch (const Failure &f) {
                failure_.emplace(f);
                return false;
            }
        }
        return true;
    }

    // One event message; false ends the loop (failure_ set).
    bool OnEvent(int code) {
        if (code == KALVEX_EV_NOT_SUPPORTED || code == KALVEX_EV_INVALID_ARGUMENT) return true;
        if (code == KALVEX_EV_CAPTURE_ENDED) {
            failure_.emplace("capture stopped", code);
            return false;
        }
        if (code == KALVEX_EV_FILE) {
            failure_.emplace("cannot write the recording '" + recordPath_ + "'", code);
            return false;
        }
        if (code == KALVEX_EV_ACQUISITION) {
            if (acquisitionErrors_++ == 0)
                std::fprintf(stderr, "\nkalvex: warning: %s (further ones only counted)\n",
                             EventText(code).c_str());
            return true;
        }
        std::fprintf(stderr, "\nkalvex: warning: %s\n", EventText(code).c_str());
        return true;
    }

    // Ends capture; closing finalises the recording, also after Ctrl-C.
    void Stop() {
        elapsed_ = std::chrono::duration<double>(Clock::now() - start_).count();
        libraryRate_ = Kalvex_GetParam(h_, KALVEX_PARAM_FRAME_RATE);
        ShowStatus();
        if (!o_.json) status_->End();
        Kalvex_Close(h_);
        PrintAlarms();
        session_->PopEvents();
        session_->window().Discard();
        if (failure_) throw *failure_;
    }

    // The alarm events waiting, each on a line of its own below the status.
    void PrintAlarms() {
        measure_->PollAlarms(h_, [this] {
            if (!o_.json) status_->End();
        });
    }

    void ShowStatus() {
        if (!o_.json) {
            status_->Show(StatusText());
            return;
        }
        int ok = 0;
        float internal = Kalvex_GetInternalTemperature(h_, &ok);
        if (!ok) session_->PopEvents();
        const double rate = FrameRate();
        JsonObject j;
        j.Add("type", JsonString("status"));
        j.Add("frames", std::to_string(announced_));
        j.Add("fps", rate > 0 ? JsonNumber(rate) : "null");
        j.Add("internal", ok ? JsonNumber(internal) : "null");
        j.Add("lost", std::to_string(Lost()));
        j.Add("held", std::to_string(Held()));
        j.Add("pausedFrames", std::to_string(counts_.Paused()));
        j.Add("dropped", std::to_string(counts_.Dropped()));
        j.Add("nucHoldLeft", JsonNumber(session_->NucHoldLeft()));
        j.Add("frame", fetched_ > 0 ? StatsJson(last_) : "null");
        if (measure_->HasRegions()) j.Add("regions", measure_->Json());
        SayJson(j.Text());
    }

    int Summarise() {
        summary_.Add("type", JsonString("summary"));
        summary_.Add("frames", std::to_string(announced_));
        summary_.Add("seconds", JsonNumber(elapsed_));
        summary_.Add("fps", FrameRate() > 0 ? JsonNumber(FrameRate()) : "null");
        summary_.Add("libraryFps", JsonNumber(libraryRate_ / 100.0));
        summary_.Add("lost", std::to_string(Lost()));
        summary_.Add("held", std::to_string(Held()));
        summary_.Add("pausedFrames", std::to_string(counts_.Paused()));
        summary_.Add("dropped", std::to_string(counts_.Dropped()));
        summary_.Add("overwritten", std::to_string(counts_.Overwritten()));
        summary_.Add("failedReads", std::to_string(acquisitionErrors_));
        summary_.Add("interrupted", interrupted_ ? "true" : "false");
        summary_.Add("last", fetched_ > 0 ? StatsJson(last_) : "null");
        // A rate needs two frames' times: with fewer, none is claimed.
        char rate[48] = "";
        if (FrameRate() > 0)
            std::snprintf(rate, sizeof rate, " (%.2f fps from the frames' times)", FrameRate());
        Say("captured %ld frame%s in %.2f s%s, lost %ld, held %ld%s\n", announced_,
            announced_ == 1 ? "" : "s", elapsed_, rate, Lost(), Held(),
            interrupted_ ? " (interrupted)" : "");
        if (counts_.Overwritten() > 0)
            Say("  %ld of them overwritten before the tool read them\n", counts_.Overwritten());
        if (acquisitionErrors_ > 0) Say("  %ld frame reads failed (event 3)\n", acquisitionErrors_);
        if (fetched_ > 0) Say("last frame: %s\n", DescribeStats(last_).c_str());
        if (measure_->HasRegions()) {
            Say("regions  %s\n", measure_->StatusText().c_str());
            summary_.Add("regions", measure_->Json());
        }
        if (!measure_->StatsPath().empty()) {
            Say("stats    %s (%ld rows)\n", measure_->StatsPath().c_str(), measure_->Rows());
            summary_.Add("stats", JsonString(measure_->StatsPath()));
        }
        if (announced_ == 0 && !interrupted_)
            throw Failure("no frame arrived", KALVEX_EV_ACQUISITION);
        SaveSnapshots();
        ListRecording();
        if (o_.json) SayJson(summary_.Text());
        return interrupted_ ? kExitInterrupted : 0;
    }

    void SaveSnapshots() {
        std::string saved;
        if (announced_ > 0 && o_.snapshotEvery == 0) {
            for (const Snapshot &s : o_.snapshots) {
                std::string path = SnapshotPath(o_, s);
                SaveFrame(h_, path, *s.type, layout_);
                saved += (saved.empty() ? "" : ",") + FileJson(path, s.type->name);
                Say("saved    %s (%s, %lld bytes)\n", path.c_str(), s.type->name,
                    static_cast<long long>(FileSize(path)));
            }
        } else if (o_.snapshotEvery > 0) {
            long frames = announced_ / o_.snapshotEvery;
            summary_.Add("snapshotFrames", std::to_string(frames));
            std::string types;
            for (const Snapshot &s : o_.snapshots)
                types += (types.empty() ? "" : ", ") + std::string(s.type->name);
            Say("saved    %ld frame%s, one every %ld, as %s (%ld files)\n", frames,
                frames == 1 ? "" : "s", o_.snapshotEvery, types.c_str(),
                frames * static_cast<long>(o_.snapshots.size()));
        }
        summary_.Add("saved", "[" + saved + "]");
    }

    void ListRecording() {
        if (!o_.record) return;
        std::vector<std::string> pieces = RecordingPieces(recordPath_);
        if (pieces.empty() && announced_ > 0)
            throw Failure("the recording '" + recordPath_ + "' was not written", KALVEX_EV_FILE);
        long total = 0;
        std::string parts;
        for (const std::string &piece : pieces) {
            long frames = RecordedFrames(o_.record->kind, piece);
            total += std::max(0L, frames);
            JsonObject part;
            part.Add("path", JsonString(piece));
            part.Add("frames", std::to_string(frames));
            part.Add("bytes", std::to_string(FileSize(piece)));
            parts += (parts.empty() ? "" : ",") + part.Text();
            Say("recorded %s (%ld frame%s, %lld bytes)\n", piece.c_str(), frames,
                frames == 1 ? "" : "s", static_cast<long long>(FileSize(piece)));
        }
        summary_.Add("recorded", "[" + parts + "]");
        if (pieces.size() > 1)
            Say("recorded %ld frames in %lu files, split at %d MiB\n", total,
                static_cast<unsigned long>(pieces.size()),
                Kalvex_GetParam(h_, KALVEX_PARAM_SPLIT_LIMIT));
    }

    CaptureOptions &o_;
    std::pair<double, double> tableRange_{0.0, 0.0};
    RowLayout layout_ = RowLayout::Upright;
    std::string recordPath_;
    std::optional<Session> session_;
    int h_ = 0;
    std::optional<FrameReader> reader_;
    std::optional<StatusLine> status_;
    std::optional<MeasureRun> measure_;

    Clock::duration tick_{};
    Clock::time_point start_, nextNuc_, nextStatus_, lastFrame_;
    std::optional<Clock::time_point> deadline_;
    std::optional<SimulatorTable> ownTable_;
    Clock::duration nucPeriod_{}, watchdog_{};

    long announced_ = 0, fetched_ = 0, acquisitionErrors_ = 0;
    // What the frames' metadata tells: frame rate, lost and held frames.
    FrameCounts counts_;
    FrameStats last_;
    bool interrupted_ = false;
    std::optional<Failure> failure_;
    double elapsed_ = 0;
    JsonObject summary_;
    int libraryRate_ = 0;
};

}  // namespace

int RunCapture(const Args &args) {
    CaptureOptions o;
    std::vector<Option> options = CaptureOptionList(&o);
    if (!ParseOptions(args, options, nullptr)) {
        PrintHelp(kHelp, options);
        return 0;
    }
    SetJsonOutput(o.json);
    return CaptureRun(o).Run();
}

int RunDemo(const Args &args) {
    std::string out = "kalvex-demo";
    std::string seconds = "3";
    std::vector<Option> options = {
        {"--out", "DIR", "folder for the files (default kalvex-demo)",
         [&](const std::string &v) { out = v; }},
        {"--seconds", "S", "how long to capture (default 3)", [&](const std::string &v) {
             if (ParseDouble(v, "--seconds", 0, kMaxSeconds) <= 0)
                 throw UsageError("--seconds must be positive");
             seconds = v;
         }}};
    // The simulated scene's options, checked here and handed on to capture as given.
    SimScene scene;
    Args sceneArgs;
    std::vector<Option> sceneOptions;
    scene.AddTo(&sceneOptions);
    for (Option &option : sceneOptions) {
        option.apply = [&sceneArgs, name = option.name,
                        check = option.apply](const std::string &v) {
            check(v);
            sceneArgs.insert(sceneArgs.end(), {name, v});
        };
        options.push_back(option);
    }
    const CommandHelp help = {
        "kalvex demo [--out DIR] [--seconds S] [scene options]",
        "Shows the SDK at work without a camera: writes a calibration table matching the\n"
        "simulated camera, captures from it for a few seconds with the built-in demo scene in\n"
        "view (a person at a desk with a hot mug, a radiator under a cold window), and leaves a\n"
        "PNG snapshot, a temperature array (float32 per pixel) and a short AVI in the folder.\n"
        "The same as:\n"
        "  kalvex table write DIR/table.bin\n"
        "  kalvex capture --sim --fps 10 --seconds 3 --table DIR/table.bin --scene demo \\\n"
        "      --snapshot png:demo.png --snapshot temp-f32:demo.temp-f32 \\\n"
        "      --record avi:demo.avi --out DIR\n"
        "The scene options (--scene, --spot, --background, ...) choose another scene.",
        ""};
    if (!ParseOptions(args, options, nullptr)) {
        PrintHelp(help, options);
        return 0;
    }
    if (!scene.scene && !scene.background && scene.spots.empty())
        sceneArgs.insert(sceneArgs.begin(), {"--scene", "demo"});
    MakeDirectory(out);
    std::string table = InDirectory(out, "table.bin");
    if (KalvexSim_WriteTable(table.c_str(), 4, 64, -20.0, 150.0) != 1)
        throw Failure("cannot write the table '" + table + "'", KALVEX_EV_FILE);
    Say("wrote    %s (version-4 calibration table of the simulated camera)\n", table.c_str());
    Args capture = {"--sim", "--fps", "10", "--seconds", seconds, "--table", table};
    capture.insert(capture.end(), sceneArgs.begin(), sceneArgs.end());
    capture.insert(capture.end(),
                   {"--snapshot", "png:demo.png", "--snapshot", "temp-f32:demo.temp-f32",
                    "--record", "avi:demo.avi", "--out", out});
    return RunCapture(capture);
}

}  // namespace kalvex_tool
