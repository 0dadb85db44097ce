// Sequence files from anywhere: the reader must refuse them with a code or
// accept them, and then every page must read whole or report truncation,
// without reading out of bounds.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "sequence/sequence_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    kalvex::CSequenceReader reader;
    if (reader.Open(kalvex::MemorySource(data, size)) != 1) return 0;
    static std::vector<uint16_t> raw(640 * 480);
    static std::vector<float> temperatures(640 * 480);
    for (int32_t k = 0; k < reader.Count() && k < 4; ++k) {
        KalvexFrameInfo info{};
        info.size = sizeof info;
        reader.GetInfo(k, &info);
        reader.ReadRaw(k, raw.data());
        reader.ReadTemperatures(k, nullptr, temperatures.data());
    }
    return 0;
}
