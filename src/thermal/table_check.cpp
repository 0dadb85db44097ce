#include "thermal/table_check.h"

#include <cerrno>
#include <cstring>

#include "platform/platform.h"
#include "thermal/thermo_table.h"
#include "thermal/thermo_table_file.h"

namespace kalvex {

namespace {

constexpr size_t kPointBytes = sizeof(CalibrationPoint);
constexpr size_t kV2CountAt = 24, kV2OffsetsAt = 28, kV4HeaderEnd = 48;

int32_t ReadI32(const uint8_t *p) {
    uint32_t v = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                 static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
    return static_cast<int32_t>(v);
}

std::string PointsReason(const uint8_t *data, size_t size, size_t countAt) {
    if (size < 4 || countAt > size - 4) return "too short for its point count";
    int32_t count = ReadI32(data + countAt);
    if (count < 1 || count > kTableMaxPoints)
        return "point count " + std::to_string(count) + " is outside 1-" +
               std::to_string(kTableMaxPoints);
    size_t pointsAt = countAt + 4;
    if ((size - pointsAt) / kPointBytes < static_cast<size_t>(count))
        return "truncated: " + std::to_string(count) + " points need " +
               std::to_string(pointsAt + static_cast<size_t>(count) * kPointBytes) + " bytes";
    return "";
}

// The words for the first check of the parser that the bytes fail, walking
// the same fields in the same order.
std::string Reason(const uint8_t *data, size_t size, int32_t layout) {
    switch (layout) {
        case 1:
            return PointsReason(data, size, 24);
        case 2: {
            if (size < kV2OffsetsAt) return "too short for its table count";
            if (ReadI32(data + kV2CountAt) < 1) return "holds no table";
            if (size < kV2OffsetsAt + 4) return "too short for its table offsets";
            int32_t at = ReadI32(data + kV2OffsetsAt);
            if (at < 0 || static_cast<size_t>(at) > size - 4)
                return "table 0 lies outside the file";
            return PointsReason(data, size, static_cast<size_t>(at));
        }
        case 3:
            return PointsReason(data, size, 28);
        case kTableVersion4:
            if (size < kV4HeaderEnd) return "too short for its header";
            return PointsReason(data, size, 44);
        default:
            return PointsReason(data, size, 0);
    }
}

void Describe(const ParsedTable &t, const uint8_t *data, size_t size, KalvexTableInfo *info) {
    *info = KalvexTableInfo{};
    info->layout = t.layout;
    info->tables = t.layout == 2 ? ReadI32(data + kV2CountAt) : 1;
    info->fileSize = static_cast<int>(size);
    info->points = t.count;
    info->ascending = 1;
    info->rawMin = info->rawMax = t.points.front().raw;
    for (size_t i = 0; i < t.points.size(); ++i) {
        const CalibrationPoint &p = t.points[i];
        if (p.raw < info->rawMin) info->rawMin = p.raw;
        if (p.raw > info->rawMax) info->rawMax = p.raw;
        if (i > 0 && p.raw < t.points[i - 1].raw) info->ascending = 0;
        if (p.temperature == kNoTemperature) {
            ++info->missing;
            continue;
        }
        if (!info->hasTemperature || p.temperature < info->celsiusMin)
            info->celsiusMin = p.temperature;
        if (!info->hasTemperature || p.temperature > info->celsiusMax)
            info->celsiusMax = p.temperature;
        info->hasTemperature = 1;
    }
    info->reservedA = t.reservedA;
    info->reservedB = t.reservedB;
    info->calibration = t.calibrationTemperature;
    info->slope = t.driftSlope;
    info->intercept = t.driftIntercept;
}

}  // namespace

std::string CheckTableBytes(const uint8_t *data, size_t size, KalvexTableInfo *info) {
    if (info != nullptr) *info = KalvexTableInfo{};
    if (data == nullptr || size == 0) return "is empty";
    if (size > static_cast<size_t>(kMaxTableFileSize))
        return "is larger than " + std::to_string(kMaxTableFileSize >> 20) + " MiB";
    ParsedTable parsed;
    // The parser's verdict is the one that counts; Reason only puts it in words.
    if (ParseThermoTable(data, size, 0, parsed)) {
        if (info != nullptr) Describe(parsed, data, size, info);
        return "";
    }
    int32_t layout = kTableHeaderless;
    if (size >= static_cast<size_t>(kTableMagicSize))
        for (int32_t v = 1; v <= kTableVersion4; ++v)
            if (std::memcmp(data, TableMagic(v), static_cast<size_t>(kTableMagicSize)) == 0)
                layout = v;
    std::string why = Reason(data, size, layout);
    return why.empty() ? "cannot be parsed" : why;
}

std::string CheckTableFile(const wchar_t *path, KalvexTableInfo *info) {
    if (info != nullptr) *info = KalvexTableInfo{};
    if (path == nullptr || path[0] == L'\0') return "no file name";
    errno = 0;
    platform::File *file = platform::FileOpenRead(path);
    if (file == nullptr) {
        int error = errno;
        return std::string("cannot be opened") + (error != 0 ? ": " : "") +
               (error != 0 ? std::strerror(error) : "");
    }
    int64_t size = platform::FileSize(file);
    std::vector<uint8_t> bytes;
    errno = 0;
    bool read = size > 0 && size <= kMaxTableFileSize &&
                ReadTableBytes(
                    size,
                    [file](void *buffer, uint32_t length, uint32_t *got) {
                        return platform::FileRead(file, buffer, length, got);
                    },
                    bytes);
    int error = errno;
    platform::FileClose(file);
    if (size == 0) return "is empty";
    if (size > kMaxTableFileSize)
        return "is larger than " + std::to_string(kMaxTableFileSize >> 20) + " MiB";
    if (!read)
        return std::string("cannot be read") + (error != 0 ? ": " : "") +
               (error != 0 ? std::strerror(error) : "");
    return CheckTableBytes(bytes.data(), bytes.size(), info);
}

}  // namespace kalvex
