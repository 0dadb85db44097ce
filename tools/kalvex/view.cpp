// kalvex view: captures like `kalvex capture` and serves a page on this
// machine with the live image, temperatures under the pointer and controls.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <optional>

#include "commands.h"
#include "kalvex.h"
#include "kalvex_sim.h"
#include "measure_options.h"
#include "outputs.h"
#include "session.h"
#include "view_engine.h"
#include "view_hub.h"
#include "view_server.h"

namespace kalvex_tool {

namespace {

using Clock = std::chrono::steady_clock;

struct ViewOptions {
    CameraOptions camera;
    ParamOptions params;
    SceneOptions scene;
    MeasureOptions measure;  // the image's colours to start with
    int port = 8080;
    std::string listen = "127.0.0.1";
    std::string out;
    std::optional<double> seconds;
    int quality = 80;
};

std::vector<Option> ViewOptionList(ViewOptions *o) {
    std::vector<Option> options;
    options.push_back({"--port", "N", "port to serve on (default 8080; 0: any free port)",
                       [o](const std::string &v) { o->port = ParseInt(v, "--port", 0, 65535); }});
    options.push_back({"--listen", "ADDRESS",
                       "address to serve on (default 127.0.0.1; beyond loopback a token is "
                       "required)",
                       [o](const std::string &v) {
                           if (v.empty()) throw UsageError("--listen needs an address");
                           o->listen = v;
                       }});
    options.push_back({"--out", "DIR", "folder for recordings (created if missing)",
                       [o](const std::string &v) { o->out = v; }});
    options.push_back({"--seconds", "S", "stop after S seconds (default: until Ctrl-C)",
                       [o](const std::string &v) {
                           o->seconds = ParseDouble(v, "--seconds");
                           if (*o->seconds <= 0) throw UsageError("--seconds must be positive");
                       }});
    options.push_back(
        {"--quality", "Q", "JPEG quality of the stream, 1-100 (default 80)",
         [o](const std::string &v) { o->quality = ParseInt(v, "--quality", 1, 100); }});
    // The camera's option groups, as `kalvex capture` takes them.
    o->params.AddTo(&options);
    o->scene.AddTo(&options);
    o->camera.AddTo(&options);
    o->measure.AddTo(&options, MeasureOptions::Scope::Colour);
    return options;
}

const CommandHelp kHelp = {
    "kalvex view [--port 8080] [--listen ADDRESS] [options]",
    "Captures from the camera and serves a page on this machine that shows the live image,\n"
    "the temperature under the pointer, the hottest and coldest pixels, a colour bar and the\n"
    "camera's figures (frame rate from the frames' own times; frames lost, held by a NUC's\n"
    "hold and paused, as kalvex capture counts them), with buttons for NUC, snapshots (PNG\n"
    "and temperatures, named after the frame's id), recording (AVI or temperatures, into\n"
    "--out), pause and the colour range. Open the address it prints; Ctrl-C stops it.",
    "With the simulated camera and no --table, a table matching the simulated sensor is\n"
    "written to a temporary file and loaded, so that temperatures can be read.\n"
    "The server answers only requests addressed to the address it serves; beyond loopback\n"
    "(--listen 0.0.0.0, say) every request needs the token printed as part of the address.\n"
    "Without a real camera the simulated one is used (see --sim, --no-sim), showing the\n"
    "built-in demo scene unless --scene, --background or --spot choose another."};

}  // namespace

int RunView(const Args &args) {
    ViewOptions o;
    std::vector<Option> options = ViewOptionList(&o);
    if (!ParseOptions(args, options, nullptr)) {
        PrintHelp(kHelp, options);
        return 0;
    }
    std::string token = IsLoopbackAddress(o.listen) ? std::string() : NewViewToken();

    // Something worth looking at unless the scene options say otherwise.
    o.camera.sim.demoByDefault = true;
    Session session(o.camera);
    std::optional<SimulatorTable> ownTable;
    // A replay brings its own table (Session::Apply loads it).
    if (session.simulated() && o.params.table.empty() && session.ReplayTable().empty()) {
        ownTable.emplace();
        o.params.table = ownTable->path();
    }
    session.Apply(o.params);
    o.scene.Apply(session);
    MeasureRun colour(o.measure, "");
    colour.Apply(session.handle());
    session.PopEvents();
    session.window().Discard();

    ViewHub hub;
    ViewEngineConfig config;
    config.handle = session.handle();
    config.celsius = !o.params.table.empty() || !session.ReplayTable().empty();
    config.bottomUp = o.params.rowOrder.value_or(0) == 0;
    config.outDir = o.out;
    config.jpegQuality = o.quality;
    config.eventWords = [](int code) { return std::string(EventMeaning(code)); };
    config.colour = o.measure.Colour();
    if (session.replaying()) {
        config.ended = [camera = session.camera()] {
            KalvexSimReplayState replay{};
            return KalvexSim_GetReplayState(camera, &replay) == 1 && replay.finished != 0;
        };
    }
    ViewEngine engine(hub, config);

    ViewServerConfig serverConfig;
    serverConfig.listen = o.listen;
    serverConfig.port = o.port;
    serverConfig.token = token;
    serverConfig.control = [&engine](const std::string &action, const std::string &body) {
        return engine.Control(action, body);
    };
    ViewServer server(hub, serverConfig);
    if (!server.Bind()) throw Failure(server.BindFailure(), 0);

    engine.Start();
    server.Start();
    std::printf("kalvex view: camera %d%s%s\n", session.camera(),
                session.replaying()   ? " (simulated, replaying a recording)"
                : session.simulated() ? " (simulated)"
                                      : "",
                config.celsius ? "" : ", no table: no temperatures");
    if (ownTable)
        std::printf("loaded   a table for the simulated camera (%s)\n", ownTable->path().c_str());
    std::printf("open     %s\n", server.Url().c_str());
    std::printf("files    snapshots and recordings go to %s\n",
                o.out.empty() ? "the working folder (--out DIR to choose)" : o.out.c_str());
    if (!token.empty())
        std::printf(
            "         (beyond this machine, use its address in place of %s; the token "
            "is required)\n",
            o.listen.c_str());
    std::printf("Ctrl-C stops.\n");
    std::fflush(stdout);

    InstallInterruptHandler();
    const auto start = Clock::now();
    const std::clock_t cpuStart = std::clock();
    std::optional<Clock::time_point> deadline;
    if (o.seconds)
        deadline = start + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(*o.seconds));
    std::optional<Failure> failure;
    while (!Interrupted() && (!deadline || Clock::now() < *deadline)) {
        WindowMessage m;
        int got = session.window().Next(&m, 20);
        if (got < 0) {
            failure.emplace("the message window failed", KALVEX_EV_NO_MEMORY);
            break;
        }
        auto now = Clock::now();
        if (got > 0) engine.OnMessage(m.message, m.lParam, now);
        engine.Tick(now);
    }
    const double cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    server.Stop();
    engine.Stop();
    session.window().Discard();
    if (failure) throw *failure;

    ViewLatency latency = engine.latency();
    std::printf("served   %ld frames in %.1f s; CPU %.2f s (%.1f %% of one core)\n",
                engine.framesPublished(), elapsed, cpu, elapsed > 0 ? 100.0 * cpu / elapsed : 0.0);
    if (latency.frames > 0)
        std::printf("frame message to JPEG ready: mean %.2f ms, max %.2f ms over %ld frames\n",
                    latency.meanMs, latency.maxMs, latency.frames);
    return 0;
}

}  // namespace kalvex_tool
