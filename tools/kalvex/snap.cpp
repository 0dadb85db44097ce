// kalvex snap: one frame on demand or on the trigger input, saved.
#include <cstdio>

#include "commands.h"
#include "frame_counts.h"
#include "frame_stats.h"
#include "kalvex.h"
#include "kalvex_sim.h"
#include "measure_options.h"
#include "outputs.h"
#include "session.h"
#include "table_file.h"
#include "view_json.h"

namespace kalvex_tool {

int RunSnap(const Args &args) {
    CameraOptions camera;
    ParamOptions params;
    SceneOptions scene;
    MeasureOptions measure;
    std::vector<Snapshot> snapshots;
    std::string out;
    bool trigger = false;
    bool json = false;
    std::vector<Option> options = {
        {"--json", "", "print the frame and the files as one JSON object",
         [&](const std::string &) { json = true; }},
        {"--trigger", "", "wait up to 3 s for the trigger input (the simulator pulses it)",
         [&](const std::string &) { trigger = true; }},
        {"--snapshot", "TYPE[:FILE]", "save as TYPE (repeatable; default png)",
         [&](const std::string &v) { snapshots.push_back(ParseSnapshot(v)); }},
        {"--out", "DIR", "folder for the files (created if missing)",
         [&](const std::string &v) { out = v; }},
    };
    params.AddTo(&options, false);
    camera.AddTo(&options);
    scene.AddTo(&options);
    measure.AddTo(&options, MeasureOptions::Scope::Frame);
    const CommandHelp help = {
        "kalvex snap [--trigger] [--snapshot TYPE[:FILE]]... [options]",
        "Takes one frame, at once (Kalvex_OneShot) or on the camera's trigger input\n"
        "(Kalvex_Trigger), prints its minimum, maximum and centre, and saves it in the chosen\n"
        "types (default names snap.<type>).",
        "Save types: bmp raw jpeg100 jpeg70 jpeg20 png tiff raw16 png16 tiff16 temp-s8 temp-u8\n"
        "temp-i32 temp-f32 (or 0-13). Files show the scene upright, top row first (BMP\n"
        "bottom-up as the format stores it), unless --library-row-order."};
    if (!ParseOptions(args, options, nullptr)) {
        PrintHelp(help, options);
        return 0;
    }
    SetJsonOutput(json);
    measure.Check();
    if (snapshots.empty()) snapshots.push_back(ParseSnapshot("png"));
    auto pathOf = [&](const Snapshot &s) {
        return InDirectory(out, s.file.empty() ? std::string("snap") + s.type->suffix : s.file);
    };
    // The table and every file are checked before the camera is touched.
    double tableMin = 0, tableMax = 0;
    if (!params.table.empty() && !TableRange(ReadTable(params.table), &tableMin, &tableMax))
        tableMin = tableMax = 0;
    std::vector<std::pair<std::string, std::string>> outputs;
    std::string temperatureOutput;
    for (const Snapshot &s : snapshots) {
        outputs.emplace_back(SnapshotOption(s), pathOf(s));
        if (temperatureOutput.empty() && HoldsTemperatures(*s.type))
            temperatureOutput = SnapshotOption(s);
    }
    if (temperatureOutput.empty()) temperatureOutput = measure.TemperatureOption();
    if (!measure.stats.empty()) outputs.emplace_back("--stats", InDirectory(out, measure.stats));
    CheckDistinctOutputs(outputs);
    if (!out.empty()) MakeDirectory(out);
    for (const Snapshot &s : snapshots) CheckOutputFile(pathOf(s));
    if (!measure.stats.empty()) CheckOutputFile(InDirectory(out, measure.stats));
    const RowLayout layout = params.libraryRowOrder ? RowLayout::Library : RowLayout::Upright;

    Session session(camera);
    int h = session.handle();
    std::optional<SimulatorTable> ownTable;
    EnsureTemperatureTable(session, params, temperatureOutput, ownTable);
    if (ownTable && !TableRange(ReadTable(params.table), &tableMin, &tableMax))
        tableMin = tableMax = 0;
    session.Apply(params);
    scene.Apply(session);
    MeasureRun measuring(measure, out);
    measuring.Apply(h);
    session.PopEvents();
    // A frame is colour-mapped with the range the frame before it set: with an
    // automatic range, one frame first so that the kept one is mapped with its own.
    if (params.autoRange.value_or(-1) != 0 && !session.replaying()) {
        Kalvex_OneShot(h);
        session.PopEvents();
    }
    int id = 0;
    if (trigger) {
        // A simulated camera has nobody to press its trigger: schedule a pulse
        // (set, then clear: the falling edge fires) a few polls ahead.
        if (session.simulated()) KalvexSim_ScheduleTriggerPulse(session.camera(), 20, 5);
        id = Kalvex_Trigger(h);
        // Every trigger records "not supported", also when it succeeds.
        if (id == 0) session.Fail("no frame on the trigger input", true);
    } else {
        id = Kalvex_OneShot(h);
        // An id can come out as 0 although the frame was taken; the failures
        // without a code look the same, so one more try tells them apart.
        if (id == 0 && session.PopEvents().empty()) id = Kalvex_OneShot(h);
        if (id == 0) session.Fail("no frame from the camera");
    }
    session.PopEvents();
    session.window().Discard();

    FrameReader reader(h, !params.table.empty(), params.rowOrder.value_or(0));
    reader.SetTableRange(tableMin, tableMax);
    FrameStats stats;
    if (!reader.Read(id, &stats)) session.Fail("cannot read the frame");
    Say("frame %s from camera %d%s: %s\n", FrameIdText(FrameIdOf(id)).c_str(), session.camera(),
        session.simulated() ? " (simulated)" : "", DescribeStats(stats).c_str());
    if (measuring.HasRegions()) {
        if (!measuring.Frame(h, static_cast<uint32_t>(id)))
            session.Fail("cannot measure the frame");
        Say("regions  %s\n", measuring.StatusText().c_str());
    }
    std::string saved;
    for (const Snapshot &s : snapshots) {
        std::string path = pathOf(s);
        SaveFrame(h, path, *s.type, layout);
        Say("saved    %s (%s, %lld bytes)\n", path.c_str(), s.type->name,
            static_cast<long long>(FileSize(path)));
        JsonObject file;
        file.Add("path", JsonString(path));
        file.Add("type", JsonString(s.type->name));
        file.Add("bytes", std::to_string(FileSize(path)));
        saved += (saved.empty() ? "" : ",") + file.Text();
    }
    if (json) {
        JsonObject j;
        j.Add("type", JsonString("summary"));
        j.Add("frameId", FrameIdText(FrameIdOf(id)));
        j.Add("camera", std::to_string(session.camera()));
        j.Add("simulated", session.simulated() ? "true" : "false");
        j.Add("frame", StatsJson(stats));
        if (measuring.HasRegions()) j.Add("regions", measuring.Json());
        j.Add("saved", "[" + saved + "]");
        SayJson(j.Text());
    }
    return 0;
}

int RunList(const Args &args) {
    CameraOptions camera;
    bool json = false;
    std::vector<Option> options = {{"--json", "", "print the cameras as one JSON array",
                                    [&](const std::string &) { json = true; }}};
    camera.AddTo(&options, false);
    const CommandHelp help = {
        "kalvex list [--sim|--no-sim|--usb VID:PID] [--json]",
        "Lists the cameras found, with their names and internal temperatures.\n"
        "Without a real camera the simulated one is listed.",
        ""};
    if (!ParseOptions(args, options, nullptr)) {
        PrintHelp(help, options);
        return 0;
    }
    SetJsonOutput(json);
    Session session(camera);
    int h = session.handle();
    std::string array;
    for (int index : session.cameras()) {
        char name[32] = "";
        Kalvex_IsCameraEnableA(h, index, name, sizeof name);
        char inside[32] = "internal temperature unreadable";
        std::string internal = "null";
        if (Kalvex_SetCameraNumber(h, index) == 1) {
            int ok = 0;
            float t = Kalvex_GetInternalTemperature(h, &ok);
            if (ok) internal = JsonNumber(t);
            if (ok)
                std::snprintf(inside, sizeof inside,
                              "%.2f \xC2\xB0"
                              "C",
                              static_cast<double>(t));
        }
        std::vector<int> codes = session.PopEvents();
        JsonObject j;
        j.Add("camera", std::to_string(index));
        j.Add("name", JsonString(name));
        j.Add("internal", internal);
        j.Add("simulated", session.simulated() ? "true" : "false");
        j.Add("event", codes.empty() ? "null" : std::to_string(codes.front()));
        array += (array.empty() ? "" : ",") + j.Text();
        Say("%d  %s  %s%s%s\n", index, name, inside, session.simulated() ? "  (simulated)" : "",
            codes.empty() ? "" : ("  " + EventText(codes.front())).c_str());
    }
    if (json) SayJson("[" + array + "]");
    return 0;
}

int RunUsb(const Args &args) {
    std::vector<Option> options;
    const CommandHelp help = {
        "kalvex usb",
        "Lists the USB devices that have an interface with three bulk endpoints\n"
        "(one OUT, two IN), with their ids and endpoint addresses, so that the ids\n"
        "of a camera can be found for --usb VID:PID. Endpoints are in descriptor\n"
        "order: the camera's pipes 0, 1 and 2 unless its layout says otherwise.",
        ""};
    if (!ParseOptions(args, options, nullptr)) {
        PrintHelp(help, options);
        return 0;
    }
    std::vector<std::string> lines;
    if (!ListUsbCandidates(&lines))
        throw Failure("no USB devices can be listed here", KALVEX_EV_NO_CAMERA);
    if (lines.empty()) std::printf("no USB device with one bulk OUT and two bulk IN endpoints\n");
    for (const std::string &line : lines) std::printf("%s\n", line.c_str());
    return 0;
}

}  // namespace kalvex_tool
