#include "outputs.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "cli.h"
#include "kalvex.h"

namespace kalvex_tool {

namespace {
constexpr int kFrameWidth = 640;
}

const std::vector<SaveType> &SaveTypes() {
    static const std::vector<SaveType> types = {
        {KALVEX_SAVE_BMP, "bmp", ".bmp", "colour image, BMP"},
        {KALVEX_SAVE_COLOR_RAW, "raw", ".bgr", "colour image, raw BGR bytes"},
        {KALVEX_SAVE_JPEG_100, "jpeg100", "-q100.jpg", "colour image, JPEG quality 100"},
        {KALVEX_SAVE_JPEG_70, "jpeg70", "-q70.jpg", "colour image, JPEG quality 70"},
        {KALVEX_SAVE_JPEG_20, "jpeg20", "-q20.jpg", "colour image, JPEG quality 20"},
        {KALVEX_SAVE_COLOR_PNG, "png", ".png", "colour image, PNG"},
        {KALVEX_SAVE_COLOR_TIFF, "tiff", ".tiff", "colour image, TIFF"},
        {KALVEX_SAVE_RAW_BYTES, "raw16", ".raw16", "raw sensor values, 16-bit little-endian"},
        {KALVEX_SAVE_RAW_PNG, "png16", "-raw16.png", "raw sensor values, 16-bit grey PNG"},
        {KALVEX_SAVE_RAW_TIFF, "tiff16", "-raw16.tiff", "raw sensor values, 16-bit TIFF"},
        {KALVEX_SAVE_TEMP_S8, "temp-s8", ".temp-s8", "temperatures, signed byte per pixel"},
        {KALVEX_SAVE_TEMP_U8, "temp-u8", ".temp-u8", "temperatures, unsigned byte per pixel"},
        {KALVEX_SAVE_TEMP_I32, "temp-i32", ".temp-i32", "temperatures, int32 per pixel"},
        {KALVEX_SAVE_TEMP_F32, "temp-f32", ".temp-f32", "temperatures, float32 per pixel"},
    };
    return types;
}

const SaveType &FindSaveType(const std::string &text) {
    for (const SaveType &t : SaveTypes())
        if (text == t.name || text == std::to_string(t.code)) return t;
    throw UsageError("unknown save type '" + text +
                     "' (0-13 or bmp, raw, jpeg100, jpeg70, jpeg20, png, tiff, raw16, png16, "
                     "tiff16, temp-s8, temp-u8, temp-i32, temp-f32)");
}

Snapshot ParseSnapshot(const std::string &text) {
    size_t colon = text.find(':');
    Snapshot s;
    s.type = &FindSaveType(text.substr(0, colon));
    if (colon != std::string::npos) {
        s.file = text.substr(colon + 1);
        if (s.file.empty()) throw UsageError("--snapshot " + text + ": empty file name");
    }
    return s;
}

Recording ParseRecording(const std::string &text) {
    size_t colon = text.find(':');
    std::string kind = text.substr(0, colon);
    Recording r;
    if (kind == "raw")
        r.kind = KALVEX_REC_RAW;
    else if (kind == "avi")
        r.kind = KALVEX_REC_AVI;
    else if (kind == "temp")
        r.kind = KALVEX_REC_TEMPERATURE;
    else if (kind == "seq")
        r.kind = kRecordSequence;
    else if (kind == "seq-none")
        r.kind = kRecordSequencePlain;
    else
        throw UsageError("unknown recording kind '" + kind + "' (raw, avi, temp, seq or seq-none)");
    if (colon != std::string::npos) {
        r.file = text.substr(colon + 1);
        if (r.file.empty()) throw UsageError("--record " + text + ": empty file name");
    }
    return r;
}

const char *RecordingSuffix(int kind) {
    switch (kind) {
        case KALVEX_REC_RAW:
            return ".raw16";
        case KALVEX_REC_AVI:
            return ".avi";
        case kRecordSequence:
        case kRecordSequencePlain:
            return ".tiff";
        default:
            return ".temp-f32";
    }
}

std::string SnapshotOption(const Snapshot &s) {
    return std::string("--snapshot ") + s.type->name + (s.file.empty() ? "" : ":" + s.file);
}

void CheckDistinctOutputs(const std::vector<std::pair<std::string, std::string>> &outputs) {
    std::error_code ec;
    std::vector<std::filesystem::path> seen;
    for (size_t i = 0; i < outputs.size(); ++i) {
        std::filesystem::path p =
            std::filesystem::absolute(outputs[i].second, ec).lexically_normal();
        for (size_t j = 0; j < seen.size(); ++j)
            if (seen[j] == p)
                throw UsageError(outputs[j].first + " and " + outputs[i].first +
                                 " would both write '" + outputs[i].second +
                                 "': give one of them another FILE");
        seen.push_back(p);
    }
}

std::string InDirectory(const std::string &dir, const std::string &name) {
    if (dir.empty() || std::filesystem::path(name).is_absolute()) return name;
    return (std::filesystem::path(dir) / name).string();
}

std::string Numbered(const std::string &path, long index) {
    std::filesystem::path p(path);
    char number[24];
    std::snprintf(number, sizeof number, "-%06ld", index);
    // Keep a compound suffix such as ".temp-f32" or "-q70.jpg" whole.
    std::string name = p.filename().string();
    size_t dot = name.find('.');
    std::string base = dot == std::string::npos ? name : name.substr(0, dot);
    std::string ext = dot == std::string::npos ? "" : name.substr(dot);
    return (p.parent_path() / (base + number + ext)).string();
}

void MakeDirectory(const std::string &dir) {
    if (dir.empty()) return;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec)
        throw Failure("cannot create the folder '" + dir + "': " + ec.message(), KALVEX_EV_FILE);
}

void CheckOutputFile(const std::string &path) {
    std::filesystem::path p(path);
    if (p.has_parent_path()) MakeDirectory(p.parent_path().string());
    std::error_code ec;
    if (std::filesystem::is_directory(p, ec))
        throw Failure("cannot write '" + path + "': it is a folder", KALVEX_EV_FILE);
    bool existed = std::filesystem::exists(p, ec);
    errno = 0;
    std::FILE *f = std::fopen(path.c_str(), existed ? "ab" : "wb");
    if (f == nullptr) {
        int reason = errno;
        throw Failure("cannot write '" + path +
                          "': " + (reason != 0 ? std::strerror(reason) : "cannot be opened"),
                      KALVEX_EV_FILE);
    }
    std::fclose(f);
    if (!existed) std::filesystem::remove(p, ec);
}

int64_t FileSize(const std::string &path) {
    std::error_code ec;
    auto size = std::filesystem::file_size(path, ec);
    return ec ? -1 : static_cast<int64_t>(size);
}

int UprightOutputRowOrder(int code) {
    switch (code) {
        case KALVEX_SAVE_COLOR_RAW:  // rows in buffer order: bottom row first at 0
        case KALVEX_SAVE_RAW_PNG:    // raw pictures show buffer row 0 on top at 0
        case KALVEX_SAVE_RAW_TIFF:
        case KALVEX_SAVE_TEMP_F32:  // the float array runs bottom-up at 0
            return 1;
        default:  // colour pictures, raw bytes and the other arrays are upright at 0
            return 0;
    }
}

int ArrayRowBytes(int code) {
    switch (code) {
        case KALVEX_SAVE_COLOR_RAW:
            return kFrameWidth * 3;
        case KALVEX_SAVE_RAW_BYTES:
            return kFrameWidth * 2;
        case KALVEX_SAVE_TEMP_S8:
        case KALVEX_SAVE_TEMP_U8:
            return kFrameWidth;
        case KALVEX_SAVE_TEMP_I32:
        case KALVEX_SAVE_TEMP_F32:
            return kFrameWidth * 4;
        default:
            return 0;
    }
}

bool CanSaveUprightWhileRecording(const SaveType &type) {
    return UprightOutputRowOrder(type.code) == kUprightRecordingRowOrder ||
           ArrayRowBytes(type.code) > 0;
}

void ReverseRowsInFile(const std::string &path, int rowBytes) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    int64_t size = FileSize(path);
    if (!f || size < 0 || rowBytes <= 0 || size % rowBytes != 0)
        throw Failure("cannot reorder the rows of '" + path + "'", KALVEX_EV_FILE);
    std::vector<char> data(static_cast<size_t>(size));
    f.read(data.data(), static_cast<std::streamsize>(size));
    const size_t row = static_cast<size_t>(rowBytes), rows = data.size() / row;
    for (size_t top = 0, bottom = rows - 1; top < bottom; ++top, --bottom)
        std::swap_ranges(data.begin() + static_cast<std::ptrdiff_t>(top * row),
                         data.begin() + static_cast<std::ptrdiff_t>((top + 1) * row),
                         data.begin() + static_cast<std::ptrdiff_t>(bottom * row));
    f.seekp(0);
    f.write(data.data(), static_cast<std::streamsize>(size));
    if (!f) throw Failure("cannot reorder the rows of '" + path + "'", KALVEX_EV_FILE);
}

void SaveFrame(int handle, const std::string &path, const SaveType &type, RowLayout layout,
               bool recordingRuns) {
    int want = UprightOutputRowOrder(type.code);
    bool reverseHere = false;
    if (layout == RowLayout::Upright) {
        if (!recordingRuns) {
            Kalvex_SetParam(handle, KALVEX_PARAM_OUTPUT_ROW_ORDER, want);
        } else if (want != kUprightRecordingRowOrder) {
            if (ArrayRowBytes(type.code) == 0)
                throw Failure("cannot save " + std::string(type.name) + " upright while recording",
                              KALVEX_EV_NOT_SUPPORTED);
            reverseHere = true;
        }
    }
    int saved = Kalvex_SaveA(handle, path.c_str(), type.code);
    if (layout == RowLayout::Upright && !recordingRuns)
        Kalvex_SetParam(handle, KALVEX_PARAM_OUTPUT_ROW_ORDER, kUprightRecordingRowOrder);
    if (saved == 1) {
        if (reverseHere) ReverseRowsInFile(path, ArrayRowBytes(type.code));
        return;
    }
    int code = Kalvex_GetLastError(handle);
    throw Failure("cannot save '" + path + "' as " + type.name +
                      (code == 0 ? " (this build of the library does not save images)" : ""),
                  code);
}

}  // namespace kalvex_tool
