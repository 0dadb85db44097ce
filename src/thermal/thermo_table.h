// CThermoTable: the calibration table that turns raw sensor values into
// temperatures, with drift compensation for version-4 tables.
//
// Every change builds a new immutable CThermoTableState and then swaps it in,
// so a reader sees either the whole old table or the whole new one, and never
// waits for a rebuild. Writers (loads, rebuilds, mode changes) are serialised.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "thermal/scene_fold.h"

namespace kalvex {

// One calibration point, as stored in table files (8 bytes, little-endian).
struct CalibrationPoint {
    int32_t raw;
    float temperature;
};
static_assert(sizeof(CalibrationPoint) == 8);

// The missing temperature.
inline constexpr float kNoTemperature = -999.0f;

// Table layouts; the header versions 1 to 4 and the headerless form.
inline constexpr int32_t kTableHeaderless = 0;
inline constexpr int32_t kTableVersion4 = 4;
inline constexpr int32_t kTableMagicSize = 24;
inline constexpr int32_t kTableMaxPoints = 16384;

// Raw values 0 to 16383 have a lookup entry; the rest read as missing.
inline constexpr int32_t kLookupEntries = 16384;
// Raw values 0 to 65535 (every 16-bit sample) have a precomputed
// interpolation; other arguments walk the points.
inline constexpr int32_t kInterpolationCacheEntries = 65536;

// A table file parsed from memory, before it replaces the current table.
struct ParsedTable {
    int32_t layout = kTableHeaderless;
    int32_t count = 0;
    int32_t reservedA = 0;
    int32_t reservedB = 0;
    float calibrationTemperature = 0.0f;
    float driftSlope = 0.0f;
    float driftIntercept = 0.0f;
    std::vector<CalibrationPoint> points;
};

// The 24-byte magic of header version 1 to 4 (not NUL-terminated within the file).
const char *TableMagic(int32_t version);

// Parses any layout; false for unknown table numbers, counts outside 1 to
// 16384 and every field or point that would lie past the end of the data.
bool ParseThermoTable(const uint8_t *data, size_t size, int32_t tableNumber, ParsedTable &out);

// CRC-32 (zlib's polynomial) of a table file's bytes: the name recordings and
// frame metadata give the table in effect.
uint32_t TableFileCrc(const uint8_t *data, size_t size);

// The interpolation of one raw value over a point list, walking the list.
float InterpolateOverPoints(std::span<const CalibrationPoint> points, int32_t x);

// The same for every x in 0 to out.size() - 1 in one sweep over the points;
// bit-identical to InterpolateOverPoints.
void InterpolateAllRawValues(std::span<const CalibrationPoint> points, std::span<float> out);

// The drift shift of one version-4 point: its raw value moves by
// (a * t + b) * d; a result that is not positive, or not an int32, keeps it.
int32_t ShiftRawValue(int32_t raw, float temperature, float slope, float intercept,
                      float difference);

// One published table. Immutable once readers can reach it.
class CThermoTableState {
  public:
    // Temperatures of the uniform scene (black body unless one is folded in).
    float LookupTemperature(uint16_t raw) const {
        return raw < kLookupEntries ? LookupArray()[raw] : kNoTemperature;
    }
    float InterpolateTemperature(int32_t x) const {
        if (x >= 0 && x < kInterpolationCacheEntries) {
            return scene && !scene->Interpolated().empty()
                       ? scene->Interpolated()[static_cast<size_t>(x)]
                       : interpolated[static_cast<size_t>(x)];
        }
        const float bb = InterpolateOverPoints(ActivePoints(), x);
        return scene ? scene->Model().Compensate(bb, scene->Model().Emissivity()) : bb;
    }
    // kLookupEntries + 1 object temperatures of the uniform scene.
    const float *LookupArray() const {
        return scene && !scene->Lookup().empty() ? scene->Lookup().data() : lookup.data();
    }
    // The same for the pixel at buffer row `row`, column x, with the
    // emissivity map when there is one.
    float LookupTemperatureAt(uint16_t raw, int32_t row, int32_t x) const {
        if (!scene || !scene->HasMap()) return LookupTemperature(raw);
        const uint16_t index = raw < kLookupEntries ? raw : uint16_t{kLookupEntries};
        return scene->AtPixel(lookup[index], index, row, x);
    }
    float InterpolateTemperatureAt(int32_t v, int32_t row, int32_t x) const {
        if (!scene || !scene->HasMap()) return InterpolateTemperature(v);
        const float bb = v >= 0 && v < kInterpolationCacheEntries
                             ? interpolated[static_cast<size_t>(v)]
                             : InterpolateOverPoints(ActivePoints(), v);
        return scene->AtPixel(bb, v >= 0 && v < kLookupEntries ? v : -1, row, x);
    }
    // n temperatures of buffer row `row` (LookupTemperatureAt of each).
    void LookupRow(const uint16_t *src, int32_t row, float *dst, int n) const;
    // The compensated points for a version-4 table while compensation is on,
    // else the loaded points; no more than count entries.
    std::span<const CalibrationPoint> ActivePoints() const;

    std::vector<CalibrationPoint> loaded{CalibrationPoint{0, 0.0f}};
    std::vector<CalibrationPoint> compensated{CalibrationPoint{0, 0.0f}};
    int32_t count = 1;
    int32_t reservedA = 0;
    int32_t reservedB = 0;
    float calibrationTemperature = 0.0f;
    float driftSlope = 0.0f;
    float driftIntercept = 0.0f;
    // Header version of the last headed file; a headerless load keeps it.
    int32_t version = 0;
    // Layout of the loaded points themselves (headerless included).
    int32_t layout = kTableHeaderless;
    bool useCompensated = false;
    // The table file's bytes as loaded and their CRC-32 (0: no table), which
    // recordings keep so that temperatures can be computed again; and the
    // reference temperature the compensated points were last shifted for
    // (0: never shifted).
    std::shared_ptr<const std::vector<uint8_t>> fileBytes;
    uint32_t fileCrc = 0;
    float driftReference = 0.0f;
    // One entry per 14-bit raw value, then one more that stays kNoTemperature,
    // so that whole-frame conversions can clamp instead of branching.
    std::vector<float> lookup = std::vector<float>(kLookupEntries + 1, kNoTemperature);
    // InterpolateTemperature for raw values 0 to 65535 over the active points.
    std::vector<float> interpolated =
        std::vector<float>(kInterpolationCacheEntries, kNoTemperature);
    // The scene folded into lookup and interpolated (which stay black-body
    // temperatures); null for the default scene.
    std::shared_ptr<const SceneFold> scene;
};

class CThermoTable {
  public:
    CThermoTable();
    CThermoTable(const CThermoTable &) = delete;
    CThermoTable &operator=(const CThermoTable &) = delete;

    // Reads a table file of any layout; 1 on success, 0 on failure. A failed
    // load leaves the previous table in place.
    int LoadTable(const wchar_t *path, int32_t tableNumber = 0);
    // Reads a version-4 file; any other layout fails.
    int LoadTableVersion4(const wchar_t *path);
    // The loader behind both, over a file already in memory.
    int LoadTableFromMemory(const uint8_t *data, size_t size, int32_t tableNumber = 0);

    // Shifts a version-4 table for the linked reference temperature and
    // rebuilds the lookup array; 1 done (or compensation off), 0 otherwise.
    int RecreateTable();
    // Fills the lookup array by interpolation or by direct copy of the loaded
    // temperatures; 0 and no change for tables of fewer than two points.
    int BuildLookup(bool interpolate);

    // Per-pixel conversions; cheap enough to call for every pixel of a frame.
    float InterpolateTemperature(int32_t x) const {
        return ReaderState().InterpolateTemperature(x);
    }
    float LookupTemperature(uint16_t raw) const { return ReaderState().LookupTemperature(raw); }

    // The instance's reference temperature, read at each rebuild. It must
    // outlive the table (or be unlinked with null first).
    void LinkReferenceTemperature(const std::atomic<float> *reference);
    // 12 and 13 turn drift compensation on; any other value turns it off.
    void SetCorrectionMode(int32_t mode);
    int32_t CorrectionMode() const { return correctionMode_.load(); }

    // The scene folded into every table published from now on (null model:
    // the default scene); republishes the current table with it.
    int SetScene(std::shared_ptr<const SceneModel> model, std::shared_ptr<const EmissivityMap> map);

    int32_t Version() const { return State()->version; }
    int32_t Count() const { return State()->count; }

    // The current table; whole-frame conversions take it once and read it
    // for every pixel.
    std::shared_ptr<const CThermoTableState> State() const {
        std::lock_guard<std::mutex> lock(stateLock_);
        return state_;
    }

  private:
    static bool CompensationOn(int32_t mode) { return mode == 12 || mode == 13; }
    // Recomputes the compensated points of a version-4 state for the
    // reference; returns false when there is no usable reference.
    bool ApplyDrift(CThermoTableState &state) const;
    void Publish(std::shared_ptr<CThermoTableState> state);
    // The current table through a per-thread copy of the pointer, refreshed
    // when the generation moves: one atomic read per call instead of a
    // reference-count round trip.
    const CThermoTableState &ReaderState() const;

    const uint64_t id_;
    std::atomic<uint64_t> generation_{0};
    std::mutex writer_;
    const std::atomic<float> *reference_ = nullptr;  // guarded by writer_
    std::atomic<int32_t> correctionMode_{-1};
    std::shared_ptr<const SceneModel> sceneModel_;   // guarded by writer_
    std::shared_ptr<const EmissivityMap> sceneMap_;  // guarded by writer_
    // Held only to copy or swap the pointer, never while building.
    mutable std::mutex stateLock_;
    std::shared_ptr<const CThermoTableState> state_;
};

}  // namespace kalvex
