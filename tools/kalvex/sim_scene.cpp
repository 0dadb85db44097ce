#include "sim_scene.h"

#include <algorithm>
#include <sstream>

#include "kalvex_sim.h"

namespace kalvex_tool {

void SimScene::AddTo(std::vector<Option> *options, bool internalOnly) {
    options->push_back(
        {"--internal", "CELSIUS", "simulated internal temperature (default 25.0)",
         [this](const std::string &v) { internal = ParseDouble(v, "--internal", -273.15, 2000); }});
    options->push_back(
        {"--drift", "CELSIUS", "simulated internal-temperature change per frame",
         [this](const std::string &v) { drift = ParseDouble(v, "--drift", -100, 100); }});
    if (internalOnly) return;
    options->push_back({"--scene", "demo|FILE",
                        "simulated scene: the built-in demo, a 16-bit greyscale PNG or a "
                        "temp-f32 file (640 x 480)",
                        [this](const std::string &v) {
                            if (v.empty()) throw UsageError("--scene needs demo or a file name");
                            if (background)
                                throw UsageError("--scene and --background exclude each other");
                            scene = v;
                        }});
    options->push_back({"--scene-scale", "S",
                        "degrees per PNG sample value of --scene FILE (default 0.01: centikelvin)",
                        [this](const std::string &v) {
                            sceneScale = ParseDouble(v, "--scene-scale", -1e6, 1e6);
                        }});
    options->push_back({"--scene-offset", "CELSIUS",
                        "temperature of PNG sample value 0 (default -273.15)",
                        [this](const std::string &v) {
                            sceneOffset = ParseDouble(v, "--scene-offset", -1e6, 1e6);
                        }});
    options->push_back({"--background", "CELSIUS", "simulated flat scene background (default 22)",
                        [this](const std::string &v) {
                            if (scene)
                                throw UsageError("--scene and --background exclude each other");
                            background = ParseDouble(v, "--background", -273.15, 2000);
                        }});
    options->push_back({"--spot", "X,Y,R,CELSIUS[,EMISSIVITY]",
                        "simulated hot or cold disc (repeatable, up to 16; emissivity default 1)",
                        [this](const std::string &v) {
                            if (spots.size() >= KALVEX_SIM_MAX_SPOTS)
                                throw UsageError("too many --spot options");
                            spots.push_back(ParseSpot(v));
                        }});
    options->push_back({"--fps", "HZ", "simulated frame rate (default 30; 0: as fast as asked)",
                        [this](const std::string &v) { fps = ParseDouble(v, "--fps", 0, 1000); }});
    options->push_back(
        {"--noise", "N", "simulated temporal noise, +-N raw values (default 0)",
         [this](const std::string &v) { noise = ParseInt(v, "--noise", 0, 16383); }});
    options->push_back({"--fpn", "N",
                        "simulated fixed-pattern noise, +-N raw values (a NUC removes it)",
                        [this](const std::string &v) { fpn = ParseInt(v, "--fpn", 0, 16383); }});
}

void SimScene::ApplyTo(int cam) const {
    const bool demo = scene ? *scene == "demo" : demoByDefault && !background && spots.empty();
    if (demo) {
        KalvexSim_SetDemoScene(cam);  // with its sensor noise; --noise below overrides it
    } else if (scene && KalvexSim_LoadSceneImageA(
                            cam, scene->c_str(), sceneScale.value_or(KALVEX_SIM_PNG_SCALE),
                            sceneOffset.value_or(KALVEX_SIM_PNG_OFFSET)) != 1) {
        throw UsageError("--scene " + *scene +
                         ": not a 640 x 480 16-bit greyscale PNG nor a temp-f32 file of whole "
                         "frames, or a temperature in it lies outside -273.15..5000 degrees "
                         "(or the file does not read)");
    }
    if (background) KalvexSim_SetBackground(cam, *background);
    KalvexSim_ClearSpots(cam);
    for (const Spot &s : spots)
        KalvexSim_AddSpotEmissive(cam, s.x, s.y, s.radius, s.celsius, s.emissivity);
    if (fps) KalvexSim_SetFrameRate(cam, *fps);
    if (noise) KalvexSim_SetTemporalNoise(cam, *noise, 1);
    if (fpn) KalvexSim_SetFixedPatternNoise(cam, *fpn, 1);
    if (internal) KalvexSim_SetInternalTemperature(cam, *internal);
    if (drift) KalvexSim_SetInternalTemperatureDrift(cam, *drift);
}

Spot ParseSpot(const std::string &text) {
    const size_t commas = static_cast<size_t>(std::count(text.begin(), text.end(), ','));
    std::vector<double> n = ParseList(text, "--spot", commas == 4 ? 5 : 4);
    if (n[0] < 0 || n[0] >= kSensorWidth || n[1] < 0 || n[1] >= kSensorHeight)
        throw UsageError("--spot " + text +
                         ": the centre must lie in the frame (x 0-639, y 0-479)");
    if (n[2] < 0 || n[2] > kSensorWidth) throw UsageError("--spot radius must be from 0 to 640");
    if (n[3] < -273.15 || n[3] > 2000)
        throw UsageError("--spot temperature must be from -273.15 to 2000");
    Spot spot{static_cast<int>(n[0]), static_cast<int>(n[1]), static_cast<int>(n[2]), n[3]};
    if (n.size() == 5) {
        if (!(n[4] > 0.0 && n[4] <= 1.0))
            throw UsageError("--spot emissivity must lie in 0 < e <= 1");
        spot.emissivity = n[4];
    }
    return spot;
}

bool ParseSimScene(const std::string &text, SimScene *scene, std::string *error) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string w; in >> w;) words.push_back(w);
    SimScene parsed;
    std::vector<Option> options;
    parsed.AddTo(&options);
    std::vector<std::string> positional;
    try {
        if (!ParseOptions(words, options, &positional)) {
            *error = "--help is not a scene option";
            return false;
        }
    } catch (const std::exception &e) {
        *error = e.what();
        return false;
    }
    if (!positional.empty()) {
        *error = "'" + positional.front() + "' is not an option";
        return false;
    }
    *scene = parsed;
    return true;
}

}  // namespace kalvex_tool
