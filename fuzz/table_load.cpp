// Table files from anywhere: the loader must refuse or accept them without
// reading out of bounds, and a loaded table must answer every lookup.
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "thermal/thermo_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static std::atomic<float> reference{31.5f};
    kalvex::CThermoTable table;
    table.LinkReferenceTemperature(&reference);
    table.SetCorrectionMode(size % 2 == 0 ? 13 : -1);
    const int32_t tableNumber = size > 0 ? data[0] % 3 : 0;
    if (table.LoadTableFromMemory(data, size, tableNumber) == 0) return 0;

    volatile float sink = 0.0f;
    for (int32_t x : {0, 1, 999, 1000, 8191, 16383, 16384, 65535, 65536, -1, 1 << 30}) {
        sink = sink + table.InterpolateTemperature(x);
        sink = sink + table.LookupTemperature(static_cast<uint16_t>(x));
    }
    reference.store(reference.load() == 31.5f ? 28.0f : 31.5f);
    table.RecreateTable();
    table.BuildLookup(false);
    sink = sink + table.LookupTemperature(12345);
    table.BuildLookup(true);
    sink = sink + table.LookupTemperature(12345);
    return 0;
}
