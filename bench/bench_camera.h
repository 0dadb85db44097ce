// One frame of the simulated camera, taken by a fresh instance with a table
// loaded: what the benchmarks of the calls that read the ring work on.
#pragma once

#include <filesystem>
#include <string>

#include "kalvex.h"
#include "kalvex_sim.h"

namespace kalvex::bench {

struct SimFrameSetup {
    int noise = 0;  // temporal noise amplitude, raw values
    int spotRadius = 40;
    double spotCelsius = 37.0;
    int tableValue = 4000;  // the table's raw value at tableLow
    double tableLow = -20.0, tableHigh = 80.0;
};

struct SimFrame {
    explicit SimFrame(const SimFrameSetup &setup = {}) {
        KalvexSim_Reset();
        KalvexSim_Plug(0);
        KalvexSim_SetFrameRate(0, 0);
        KalvexSim_SetFixedPatternNoise(0, 0, 1);
        if (setup.noise > 0) KalvexSim_SetTemporalNoise(0, setup.noise, 7);
        KalvexSim_AddSpot(0, 320, 240, setup.spotRadius, setup.spotCelsius);
        const std::string table =
            (std::filesystem::temp_directory_path() / "kalvex_bench_frame.tbl").string();
        KalvexSim_WriteTable(table.c_str(), 4, setup.tableValue, setup.tableLow, setup.tableHigh);
        handle = Kalvex_Initialize(nullptr);
        Kalvex_SetTableA(handle, table.c_str());
        id = Kalvex_OneShot(handle);
    }
    ~SimFrame() {
        Kalvex_Release(handle);
        KalvexSim_Reset();
    }
    SimFrame(const SimFrame &) = delete;
    SimFrame &operator=(const SimFrame &) = delete;
    int handle = 0;
    int id = 0;
};

// A varied frame, as in use: sensor noise and a large warm disc.
inline SimFrameSetup VariedFrame() {
    SimFrameSetup s;
    s.noise = 20, s.spotRadius = 100, s.spotCelsius = 60.0;
    s.tableValue = 1000, s.tableLow = -40.0, s.tableHigh = 230.0;
    return s;
}

}  // namespace kalvex::bench
