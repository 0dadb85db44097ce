// The simulated camera's scene as command-line options (--background, --spot,
// --fps, ...): shared by the kalvex program and the other hosts that take the
// same options in one string (the GStreamer element's sim-scene).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli.h"

namespace kalvex_tool {

constexpr int kSensorWidth = 640;
constexpr int kSensorHeight = 480;

struct Spot {
    int x = 0, y = 0, radius = 0;
    double celsius = 0.0;
    double emissivity = 1.0;
};

// "X,Y,R,CELSIUS[,EMISSIVITY]" (the emissivity 0 < e <= 1, default 1).
Spot ParseSpot(const std::string &text);

struct SimScene {
    std::optional<double> background, fps, drift, internal;
    std::optional<int> noise, fpn;
    std::vector<Spot> spots;
    // --scene: "demo" (the built-in scene) or a file (a 16-bit PNG read with
    // sceneScale and sceneOffset, or a temp-f32 file).
    std::optional<std::string> scene;
    std::optional<double> sceneScale, sceneOffset;
    // The demo scene when no option chose a scene (--scene, --background,
    // --spot): what a host meant for looking at sets; others keep the flat one.
    bool demoByDefault = false;

    // internalOnly: just the simulated internal temperature and its drift (a
    // command that only lists cameras).
    void AddTo(std::vector<Option> *options, bool internalOnly = false);
    // Sets the scene on a plugged simulated camera; spots replace any it had.
    // Throws UsageError for a scene file the simulator refuses.
    void ApplyTo(int camera) const;
};

// Parses "--spot 320,240,60,37 --background 20" (words split at white space;
// --name=value works too). False with *error on anything the program refuses.
bool ParseSimScene(const std::string &text, SimScene *scene, std::string *error);

}  // namespace kalvex_tool
