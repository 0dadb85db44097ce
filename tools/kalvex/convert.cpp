// kalvex convert FILE --to TYPE: a radiometric sequence, or a range of its
// frames, turned into the tool's still types or into a recording. The frames
// go through the library as a replaying simulated camera lets them out one at
// a time, so every file is what the library itself saves for that frame.
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "kalvex.h"
#include "kalvex_sequence.h"
#include "kalvex_sim.h"
#include "outputs.h"
#include "session.h"

namespace kalvex_tool {

namespace {

// A frame normally arrives within milliseconds of being let out; this only
// keeps a broken library from hanging the command.
constexpr int kFrameWaitMs = 10000;

struct Range {
    long first = 0;
    std::optional<long> last;  // inclusive; none: to the end
};

// "A:B", "A:", ":B" or "N" (one frame), numbered from 0.
Range ParseRange(const std::string &text) {
    Range r;
    const size_t colon = text.find(':');
    const std::string a = text.substr(0, colon);
    if (!a.empty()) r.first = ParseInt(a, "--frames A", 0, 100000000);
    if (colon == std::string::npos) {
        r.last = r.first;
        return r;
    }
    const std::string b = text.substr(colon + 1);
    if (!b.empty()) r.last = ParseInt(b, "--frames B", 0, 100000000);
    if (r.last && *r.last < r.first)
        throw UsageError("--frames " + text + ": A must not be after B");
    return r;
}

bool IsRecordingKind(const std::string &type) {
    return type == "avi" || type == "temp" || type == "seq" || type == "seq-none";
}

// Waits for the next frame message; its id, or 0 when none came.
int NextFrame(Session &session) {
    WindowMessage m;
    for (;;) {
        const int got = session.window().Next(&m, kFrameWaitMs);
        if (got != 1) return 0;
        if (m.message == KALVEX_WM_FRAME) return static_cast<int>(m.lParam);
    }
}

}  // namespace

int RunConvert(const Args &args) {
    ParamOptions params;
    SceneOptions scene;
    std::string to, out;
    Range range;
    std::vector<Option> options = {
        {"--to", "TYPE", "a still type (one file per frame) or avi, temp, seq, seq-none",
         [&](const std::string &v) { to = v; }},
        {"--frames", "A:B", "frames A to B (numbered from 0; A: or :B open; default all)",
         [&](const std::string &v) { range = ParseRange(v); }},
        {"--out", "DIR", "folder for the files (created if missing; default the current one)",
         [&](const std::string &v) { out = v; }},
    };
    params.AddTo(&options, false);
    scene.AddTo(&options);
    const CommandHelp help = {
        "kalvex convert FILE --to TYPE [--frames A:B] [--out DIR] [options]",
        "Turns a radiometric sequence (kalvex capture --record seq), or frames A to B of it,\n"
        "into one file per frame of a still type (named FILE-000007.png by frame number), or\n"
        "into one recording of the range (avi, temp, or a sequence again). Temperatures come\n"
        "from the recording's own table unless --table, and its recorded scene, changed by the\n"
        "scene options given (a recording made at emissivity 1 converts at 0.6 with\n"
        "--emissivity 0.6).",
        "Still types: bmp raw jpeg100 jpeg70 jpeg20 png tiff raw16 png16 tiff16 temp-s8\n"
        "temp-u8 temp-i32 temp-f32 (or 0-13). Files show the scene upright, top row first,\n"
        "unless --library-row-order."};
    std::vector<std::string> positional;
    if (!ParseOptions(args, options, &positional)) {
        PrintHelp(help, options);
        return 0;
    }
    if (positional.size() != 1) throw UsageError("expected one FILE");
    if (to.empty()) throw UsageError("--to TYPE is needed");
    const std::string &file = positional[0];

    std::optional<Recording> record;
    const SaveType *still = nullptr;
    if (IsRecordingKind(to))
        record = ParseRecording(to);
    else
        still = &FindSaveType(to);
    const std::string stem = std::filesystem::path(file).stem().string();
    auto stillPath = [&](long index) {
        return Numbered(InDirectory(out, stem + still->suffix), index);
    };
    const std::string recordPath =
        record ? InDirectory(out, stem + RecordingSuffix(record->kind)) : std::string();
    if (!out.empty()) MakeDirectory(out);
    if (record) {
        std::error_code ec;
        if (std::filesystem::equivalent(file, recordPath, ec))
            throw UsageError("the recording '" + recordPath +
                             "' would overwrite the file converted (choose --out)");
        CheckOutputFile(recordPath);
    }
    const RowLayout layout = params.libraryRowOrder ? RowLayout::Library : RowLayout::Upright;
    if (record && layout == RowLayout::Upright) params.outputRowOrder = kUprightRecordingRowOrder;

    CameraOptions camera;
    camera.source = CameraOptions::Source::Sim;
    camera.replay = file;
    camera.replayStep = true;
    Session session(camera);
    const int h = session.handle();
    const long count = session.ReplayState().frames;
    const long last = range.last.value_or(count - 1);
    if (range.first >= count || last >= count)
        throw UsageError("'" + file + "' has " + std::to_string(count) + " frame" +
                         (count == 1 ? "" : "s") + " (0-" + std::to_string(count - 1) +
                         "), --frames asks for " + std::to_string(range.first) + "-" +
                         std::to_string(last));
    const bool temperatures =
        record ? record->kind == KALVEX_REC_TEMPERATURE : HoldsTemperatures(*still);
    std::optional<SimulatorTable> ownTable;
    EnsureTemperatureTable(session, params, temperatures ? "--to " + to : "", ownTable);
    session.Apply(params);
    scene.Apply(session);
    session.PopEvents();
    session.window().Discard();
    if (!session.Preview()) session.Fail("cannot start the replay", true);
    session.PopEvents();

    // One frame before the range sets the colour range the first frame of the
    // range is mapped with, as in the capture recorded (before frame 0, frame 0
    // itself, served again after it). A recording asked for once a frame has
    // come out opens with the next frame published and writes those after it:
    // the lead-in frame is let out once more to open it.
    const int cam = session.camera();
    const long lead = range.first > 0 ? range.first - 1 : 0;
    auto letOut = [&](long index) {
        KalvexSim_ReplaySeek(cam, static_cast<int>(index));
        KalvexSim_ReplayStep(cam, 1);
        if (NextFrame(session) == 0)
            session.Fail("frame " + std::to_string(index) + " of '" + file + "' did not arrive");
    };
    letOut(lead);
    if (record) {
        const int requested =
            IsSequence(record->kind)
                ? KalvexSeq_RecordA(h, recordPath.c_str(),
                                    record->kind == kRecordSequence ? KALVEX_SEQ_DEFLATE
                                                                    : KALVEX_SEQ_UNCOMPRESSED)
                : Kalvex_RecA(h, recordPath.c_str(), record->kind);
        if (requested != 1) session.Fail("cannot request the recording '" + recordPath + "'");
        letOut(lead);
    }
    long written = 0;
    for (long i = range.first; i <= last; ++i) {
        letOut(i);
        if (still) {
            SaveFrame(h, stillPath(i), *still, layout);
            ++written;
        }
    }
    // Ending capture closes a recording with the frames written so far.
    Kalvex_Close(h);
    session.WarnPending(KALVEX_EV_NOT_SUPPORTED);
    const long frames = last - range.first + 1;
    if (still) {
        Say("saved    frames %ld-%ld of %s as %s: %s ... %s (%ld files)\n", range.first, last,
            file.c_str(), still->name, stillPath(range.first).c_str(), stillPath(last).c_str(),
            written);
    } else {
        Say("recorded frames %ld-%ld of %s as %s (%ld frame%s, %lld bytes)\n", range.first, last,
            file.c_str(), recordPath.c_str(), frames, frames == 1 ? "" : "s",
            static_cast<long long>(FileSize(recordPath)));
    }
    return 0;
}

}  // namespace kalvex_tool
