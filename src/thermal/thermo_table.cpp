#include "thermal/thermo_table.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include <zlib.h>

#include "thermal/temperature_rows.h"
#include "thermal/thermo_table_file.h"

namespace kalvex {

namespace {

constexpr char kMagics[4][kTableMagicSize + 1] = {
    "VELKAR THERMO TABLE 1000",
    "VELKAR THERMO TABLE 2000",
    "VELKAR THERMO TABLE 3000",
    "VELKAR THERMO TABLE 4000",
};

// Up to this many brackets are averaged.
constexpr int kMaxPairs = 10;

uint32_t ReadU32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}
int32_t ReadI32(const uint8_t *p) {
    return static_cast<int32_t>(ReadU32(p));
}
float ReadF32(const uint8_t *p) {
    return std::bit_cast<float>(ReadU32(p));
}

// Raw values come from files: differences wrap instead of overflowing.
int32_t WrapSub(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

// The mean of `pairs` straight-line interpolations at x, each through lower[k]
// (nearest first) and upper[k].
float MeanOfBrackets(int32_t x, const CalibrationPoint *lower, const CalibrationPoint *upper,
                     int pairs) {
    float sum = 0.0f;
    for (int k = 0; k < pairs; ++k) {
        int32_t span = WrapSub(upper[k].raw, lower[k].raw);
        if (span == 0) span = 1;
        sum += (upper[k].temperature - lower[k].temperature) / static_cast<float>(span) *
               static_cast<float>(WrapSub(x, lower[k].raw));
        sum += lower[k].temperature;
    }
    return sum / static_cast<float>(pairs);
}

// Fills every x in [low, high) (clipped to out) whose walk ends at position
// `end`, and x == low, where points equal to x drop out of the history.
// prevValid[p] is the last position before p with a temperature, or -1.
void FillSegment(std::span<const CalibrationPoint> points, const std::vector<int32_t> &prevValid,
                 size_t end, int32_t low, int32_t high, std::span<float> out) {
    const CalibrationPoint *upper = points.data() + end;
    const int upperCount = static_cast<int>(std::min<size_t>(kMaxPairs, points.size() - end));
    const auto outSize = static_cast<int64_t>(out.size());

    CalibrationPoint lower[kMaxPairs];
    int held = 0;
    for (int32_t q = prevValid[end]; q >= 0 && held < kMaxPairs; q = prevValid[q]) {
        lower[held++] = points[static_cast<size_t>(q)];
    }
    // Every earlier point with a temperature lies at or below low, so for x
    // strictly between low and high the history is the same.
    int pairs = std::min(upperCount, held);
    int64_t first = std::max<int64_t>(int64_t{low} + 1, 0);
    int64_t last = std::min<int64_t>(int64_t{high} - 1, outSize - 1);
    for (int64_t x = first; x <= last; ++x) {
        out[static_cast<size_t>(x)] = MeanOfBrackets(static_cast<int32_t>(x), lower, upper, pairs);
    }

    if (low < 0 || low >= outSize) return;
    held = 0;
    for (int32_t q = prevValid[end]; q >= 0 && held < kMaxPairs; q = prevValid[q]) {
        if (points[static_cast<size_t>(q)].raw != low)
            lower[held++] = points[static_cast<size_t>(q)];
    }
    pairs = std::min(upperCount, held);
    out[static_cast<size_t>(low)] =
        pairs == 0 ? kNoTemperature : MeanOfBrackets(low, lower, upper, pairs);
}

}  // namespace

const char *TableMagic(int32_t version) {
    return version >= 1 && version <= 4 ? kMagics[version - 1] : "";
}

bool ParseThermoTable(const uint8_t *data, size_t size, int32_t tableNumber, ParsedTable &out) {
    out = ParsedTable{};
    if (data == nullptr || size < 4) return false;
    int32_t layout = kTableHeaderless;
    if (size >= kTableMagicSize) {
        for (int32_t v = 0; v < 4; ++v) {
            if (std::memcmp(data, kMagics[v], kTableMagicSize) == 0) {
                layout = v + 1;
                break;
            }
        }
    }
    size_t countAt = 0;
    switch (layout) {
        case 1:
            countAt = 24;
            break;
        case 2: {
            if (size < 28 || tableNumber < 0) return false;
            if (ReadI32(data + 24) <= tableNumber) return false;
            size_t slot = 28 + 4 * static_cast<size_t>(tableNumber);
            if (slot > size - 4) return false;
            int32_t offset = ReadI32(data + slot);
            if (offset < 0) return false;
            countAt = static_cast<size_t>(offset);
            break;
        }
        case 3:
            countAt = 28;
            break;
        case 4:
            if (size < 48) return false;
            out.reservedA = ReadI32(data + 24);
            out.reservedB = ReadI32(data + 28);
            out.calibrationTemperature = ReadF32(data + 32);
            out.driftSlope = ReadF32(data + 36);
            out.driftIntercept = ReadF32(data + 40);
            countAt = 44;
            break;
        default:
            countAt = 0;
            break;
    }
    if (countAt > size - 4) return false;
    int32_t count = ReadI32(data + countAt);
    if (count < 1 || count > kTableMaxPoints) return false;
    size_t pointsAt = countAt + 4;
    if ((size - pointsAt) / sizeof(CalibrationPoint) < static_cast<size_t>(count)) return false;

    out.layout = layout;
    out.count = count;
    out.points.resize(static_cast<size_t>(count));
    for (size_t i = 0; i < out.points.size(); ++i) {
        const uint8_t *p = data + pointsAt + i * sizeof(CalibrationPoint);
        out.points[i] = CalibrationPoint{ReadI32(p), ReadF32(p + 4)};
    }
    if (layout != kTableVersion4) {
        out.reservedA = out.reservedB = 0;
        out.calibrationTemperature = out.driftSlope = out.driftIntercept = 0.0f;
    }
    return true;
}

float InterpolateOverPoints(std::span<const CalibrationPoint> points, int32_t x) {
    CalibrationPoint lower[kMaxPairs];
    int held = 0;
    size_t end = points.size();
    for (size_t i = 0; i < points.size(); ++i) {
        const CalibrationPoint &p = points[i];
        if (p.temperature == kNoTemperature || p.raw == x) continue;
        if (p.raw < x) {
            int keep = std::min(held, kMaxPairs - 1);
            std::memmove(lower + 1, lower, static_cast<size_t>(keep) * sizeof(CalibrationPoint));
            lower[0] = p;
            held = keep + 1;
            continue;
        }
        end = i;
        break;
    }
    if (end == points.size()) return kNoTemperature;
    int upperCount = static_cast<int>(std::min<size_t>(kMaxPairs, points.size() - end));
    int pairs = std::min(upperCount, held);
    if (pairs == 0) return kNoTemperature;
    return MeanOfBrackets(x, lower, points.data() + end, pairs);
}

void InterpolateAllRawValues(std::span<const CalibrationPoint> points, std::span<float> out) {
    std::fill(out.begin(), out.end(), kNoTemperature);
    // A walk for x ends at the first point with a temperature whose raw value
    // exceeds x; only points whose raw value beats every earlier one can be
    // that point. Between two such points the result has fixed brackets.
    std::vector<int32_t> prevValid(points.size());
    int32_t lastValid = -1;
    bool haveFirst = false;
    int32_t highest = 0;
    for (size_t p = 0; p < points.size(); ++p) {
        prevValid[p] = lastValid;
        if (points[p].temperature == kNoTemperature) continue;
        if (!haveFirst) {
            haveFirst = true;
            highest = points[p].raw;
        } else if (points[p].raw > highest) {
            FillSegment(points, prevValid, p, highest, points[p].raw, out);
            highest = points[p].raw;
        }
        lastValid = static_cast<int32_t>(p);
    }
}

int32_t ShiftRawValue(int32_t raw, float temperature, float slope, float intercept,
                      float difference) {
    float moved = (slope * temperature + intercept) * difference + static_cast<float>(raw);
    // Not positive (NaN included), or beyond int32: the point stays put.
    if (!(moved > 0.0f) || moved >= 2147483648.0f) return raw;
    return static_cast<int32_t>(moved);
}

std::span<const CalibrationPoint> CThermoTableState::ActivePoints() const {
    const std::vector<CalibrationPoint> &list = useCompensated ? compensated : loaded;
    size_t n = std::min(static_cast<size_t>(std::max(count, 0)), list.size());
    return {list.data(), n};
}

namespace {

void RebuildInterpolation(CThermoTableState &state) {
    InterpolateAllRawValues(state.ActivePoints(), state.interpolated);
}

bool CanBuildLookup(const CThermoTableState &state) {
    return state.count > 1 && state.loaded.size() >= 2;
}

void FillLookup(CThermoTableState &state, bool interpolate) {
    for (size_t m = 0; m < static_cast<size_t>(kLookupEntries); ++m) {
        if (interpolate) {
            state.lookup[m] = state.interpolated[m];
        } else {
            state.lookup[m] =
                m < state.loaded.size() ? state.loaded[m].temperature : kNoTemperature;
        }
    }
}

}  // namespace

namespace {
std::atomic<uint64_t> nextTableId{1};
}  // namespace

CThermoTable::CThermoTable() : id_(nextTableId.fetch_add(1)) {
    state_ = std::make_shared<const CThermoTableState>();
}

const CThermoTableState &CThermoTable::ReaderState() const {
    struct Held {
        uint64_t table = 0;
        uint64_t generation = 0;
        std::shared_ptr<const CThermoTableState> state;
    };
    thread_local Held held;
    // A table published after this read is seen at the next call.
    const uint64_t generation = generation_.load(std::memory_order_acquire);
    if (held.table != id_ || held.generation != generation || !held.state) {
        held.state = State();
        held.table = id_;
        held.generation = generation;
    }
    return *held.state;
}

int CThermoTable::LoadTable(const wchar_t *path, int32_t tableNumber) {
    try {
        std::vector<uint8_t> bytes;
        if (!ReadTableFile(path, bytes)) return 0;
        return LoadTableFromMemory(bytes.data(), bytes.size(), tableNumber);
    } catch (const std::bad_alloc &) {
        return 0;
    }
}

int CThermoTable::LoadTableVersion4(const wchar_t *path) {
    try {
        std::vector<uint8_t> bytes;
        if (!ReadTableFile(path, bytes)) return 0;
        if (bytes.size() < kTableMagicSize ||
            std::memcmp(bytes.data(), kMagics[kTableVersion4 - 1], kTableMagicSize) != 0) {
            return 0;
        }
        return LoadTableFromMemory(bytes.data(), bytes.size(), 0);
    } catch (const std::bad_alloc &) {
        return 0;
    }
}

uint32_t TableFileCrc(const uint8_t *data, size_t size) {
    uLong crc = crc32(0L, Z_NULL, 0);
    while (size > 0) {
        const auto chunk = static_cast<uInt>(std::min<size_t>(size, 1u << 30));
        crc = crc32(crc, data, chunk);
        data += chunk;
        size -= chunk;
    }
    return static_cast<uint32_t>(crc);
}

int CThermoTable::LoadTableFromMemory(const uint8_t *data, size_t size, int32_t tableNumber) {
    try {
        ParsedTable parsed;
        if (!ParseThermoTable(data, size, tableNumber, parsed)) return 0;

        std::lock_guard<std::mutex> lock(writer_);
        auto current = State();
        auto next = std::make_shared<CThermoTableState>();
        next->loaded = std::move(parsed.points);
        next->count = parsed.count;
        next->reservedA = parsed.reservedA;
        next->reservedB = parsed.reservedB;
        next->calibrationTemperature = parsed.calibrationTemperature;
        next->driftSlope = parsed.driftSlope;
        next->driftIntercept = parsed.driftIntercept;
        next->layout = parsed.layout;
        next->fileBytes = std::make_shared<const std::vector<uint8_t>>(data, data + size);
        next->fileCrc = TableFileCrc(data, size);
        next->version = parsed.layout == kTableHeaderless ? current->version : parsed.layout;
        next->compensated.clear();
        const bool compensate = CompensationOn(correctionMode_.load());
        if (parsed.layout == kTableVersion4) {
            // Until a reference temperature is known the points stay unshifted,
            // so the new table is in use at once.
            next->compensated = next->loaded;
            if (compensate) ApplyDrift(*next);
            next->useCompensated = compensate;
        }
        RebuildInterpolation(*next);
        // A table that cannot fill the lookup array leaves it empty rather
        // than showing the previous table's temperatures.
        if (CanBuildLookup(*next)) {
            bool direct = parsed.layout >= 1 && parsed.layout <= 3;
            FillLookup(*next, !direct);
        }
        Publish(std::move(next));
        return 1;
    } catch (const std::bad_alloc &) {
        return 0;
    }
}

bool CThermoTable::ApplyDrift(CThermoTableState &state) const {
    if (reference_ == nullptr) return false;
    const float reference = reference_->load();
    if (reference == 0.0f) return false;
    const float difference = state.calibrationTemperature - reference;
    state.compensated.clear();
    state.compensated.reserve(state.loaded.size());
    for (const CalibrationPoint &p : state.loaded) {
        state.compensated.push_back(CalibrationPoint{
            ShiftRawValue(p.raw, p.temperature, state.driftSlope, state.driftIntercept, difference),
            p.temperature});
    }
    state.driftReference = reference;
    return true;
}

int CThermoTable::RecreateTable() {
    try {
        std::lock_guard<std::mutex> lock(writer_);
        auto current = State();
        if (current->layout != kTableVersion4) return 0;
        if (!CompensationOn(correctionMode_.load())) return 1;
        auto next = std::make_shared<CThermoTableState>(*current);
        if (!ApplyDrift(*next)) return 0;
        next->useCompensated = true;
        RebuildInterpolation(*next);
        if (CanBuildLookup(*next)) FillLookup(*next, true);
        Publish(std::move(next));
        return 1;
    } catch (const std::bad_alloc &) {
        return 0;
    }
}

int CThermoTable::BuildLookup(bool interpolate) {
    try {
        std::lock_guard<std::mutex> lock(writer_);
        auto current = State();
        if (!CanBuildLookup(*current)) return 0;
        auto next = std::make_shared<CThermoTableState>(*current);
        FillLookup(*next, interpolate);
        Publish(std::move(next));
        return 1;
    } catch (const std::bad_alloc &) {
        return 0;
    }
}

void CThermoTable::LinkReferenceTemperature(const std::atomic<float> *reference) {
    std::lock_guard<std::mutex> lock(writer_);
    reference_ = reference;
}

void CThermoTable::SetCorrectionMode(int32_t mode) {
    std::lock_guard<std::mutex> lock(writer_);
    correctionMode_.store(mode);
    auto current = State();
    const bool use = current->layout == kTableVersion4 && CompensationOn(mode);
    if (use == current->useCompensated) return;
    try {
        auto next = std::make_shared<CThermoTableState>(*current);
        next->useCompensated = use;
        RebuildInterpolation(*next);
        Publish(std::move(next));
    } catch (const std::bad_alloc &) {
        // The previous table stays; the mode applies from the next rebuild.
    }
}

int CThermoTable::SetScene(std::shared_ptr<const SceneModel> model,
                           std::shared_ptr<const EmissivityMap> map) {
    try {
        std::lock_guard<std::mutex> lock(writer_);
        auto next = std::make_shared<CThermoTableState>(*State());
        sceneModel_ = std::move(model);
        sceneMap_ = std::move(map);
        Publish(std::move(next));
        return 1;
    } catch (const std::bad_alloc &) {
        return 0;
    }
}

void CThermoTableState::LookupRow(const uint16_t *src, int32_t row, float *dst, int n) const {
    if (scene && scene->HasMap()) {
        scene->LookupRow(src, row, dst, n);
    } else {
        LookupTemperatureRow(LookupArray(), src, dst, n);
    }
}

// Every table passes here: the one place where the scene is folded in, so
// that loads, drift rebuilds and mode changes all carry it.
void CThermoTable::Publish(std::shared_ptr<CThermoTableState> state) {
    state->scene = SceneFold::Build(sceneModel_, sceneMap_, state->lookup, state->interpolated);
    {
        std::lock_guard<std::mutex> lock(stateLock_);
        state_ = std::move(state);
    }
    generation_.fetch_add(1, std::memory_order_release);
}

}  // namespace kalvex
