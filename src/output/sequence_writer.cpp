#include "output/sequence_writer.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <tiffio.h>

#include "output/tiff_messages.h"
#include "platform/platform.h"

namespace kalvex {

namespace {

std::atomic<int64_t> gPartCap{kSequencePartCap};

// Writes up to this size are kept for libtiff to read back (see Read).
constexpr int64_t kKeptWriteBytes = 4096;

TIFFExtendProc gParentExtender = nullptr;

void ExtendTags(TIFF *tiff) {
    static const TIFFFieldInfo kFields[] = {
        {static_cast<ttag_t>(kSequenceTableTag), TIFF_VARIABLE2, TIFF_VARIABLE2, TIFF_UNDEFINED,
         FIELD_CUSTOM, 1, 1, const_cast<char *>("KalvexCalibrationTable")},
    };
    TIFFMergeFieldInfo(tiff, kFields, 1);
    if (gParentExtender != nullptr) gParentExtender(tiff);
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void CivilFromDays(int64_t days, int *year, unsigned *month, unsigned *day) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *day = doy - (153 * mp + 2) / 5 + 1;
    *month = mp < 10 ? mp + 3 : mp - 9;
    *year = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (*month <= 2 ? 1 : 0));
}

struct UtcParts {
    int year;
    unsigned month, day, hour, minute, second, micro;
};

UtcParts SplitUtc(int64_t utcNs) {
    int64_t seconds = utcNs / 1000000000;
    int64_t rest = utcNs % 1000000000;
    if (rest < 0) rest += 1000000000, --seconds;
    int64_t days = seconds / 86400;
    int64_t inDay = seconds % 86400;
    if (inDay < 0) inDay += 86400, --days;
    UtcParts p{};
    CivilFromDays(days, &p.year, &p.month, &p.day);
    p.hour = static_cast<unsigned>(inDay / 3600);
    p.minute = static_cast<unsigned>(inDay / 60 % 60);
    p.second = static_cast<unsigned>(inDay % 60);
    p.micro = static_cast<unsigned>(rest / 1000);
    return p;
}

void AppendF(std::string &out, const char *format, ...) __attribute__((format(printf, 2, 3)));
void AppendF(std::string &out, const char *format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n > 0) out.append(text, static_cast<size_t>(std::min<int>(n, sizeof text - 1)));
}

// Shortest text that reads back as the same float.
void AppendFloat(std::string &out, const char *key, float value) {
    AppendF(out, "\"%s\":%.9g", key, static_cast<double>(value));
}

void AppendScene(std::string &j, const KalvexScene &s) {
    j += ",\"scene\":{";
    for (const SceneField &field : kSceneFields) {
        if (&field != kSceneFields) j += ',';
        AppendFloat(j, field.key, s.*field.member);
    }
    j += '}';
}

const char *OriginName(uint32_t origin) {
    switch (origin) {
        case KALVEX_FRAME_ONESHOT:
            return "oneshot";
        case KALVEX_FRAME_TRIGGERED:
            return "triggered";
        default:
            return "stream";
    }
}

}  // namespace

void RegisterSequenceTags() {
    static std::once_flag once;
    std::call_once(once, [] { gParentExtender = TIFFSetTagExtender(ExtendTags); });
}

// libtiff's I/O over the platform's file, so that wide paths work, the file's
// end is known without a system call and failed writes can be undone.
struct SequenceWriterIo {
    // libtiff reads back only what it wrote itself in small pieces (the
    // header, the previous directory when it links the next one): served
    // from the writer's copy of those, the file being open for writing only.
    static tmsize_t Read(thandle_t handle, void *buffer, tmsize_t size) {
        auto &w = *static_cast<CSequenceWriter *>(handle);
        if (size < 0) return -1;
        const int64_t at = w.position_;
        const int64_t count = static_cast<int64_t>(size);
        auto *out = static_cast<uint8_t *>(buffer);
        std::vector<bool> covered(static_cast<size_t>(count), false);
        for (const auto &[offset, bytes] : w.smallWrites_) {
            const int64_t from = std::max(at, offset);
            const int64_t to = std::min(at + count, offset + static_cast<int64_t>(bytes.size()));
            for (int64_t k = from; k < to; ++k) {
                out[k - at] = bytes[static_cast<size_t>(k - offset)];
                covered[static_cast<size_t>(k - at)] = true;
            }
        }
        for (const bool c : covered)
            if (!c) return -1;
        w.position_ = at + count;
        return size;
    }
    static tmsize_t Write(thandle_t handle, void *buffer, tmsize_t size) {
        auto &w = *static_cast<CSequenceWriter *>(handle);
        if (w.failed_ || size < 0) return -1;
        const int64_t at = w.position_;
        const int64_t count = static_cast<int64_t>(size);
        if (at + count > gPartCap.load()) {
            w.failed_ = true;
            return -1;
        }
        if (at != w.osPosition_ && !platform::FileSeek(w.file_, at)) {
            w.failed_ = true;
            return -1;
        }
        w.osPosition_ = at;
        if (at < w.goodEnd_) w.linkWrites_.emplace_back(at, std::min(count, w.goodEnd_ - at));
        uint32_t written = 0;
        if (!platform::FileWrite(w.file_, buffer, static_cast<uint32_t>(count), &written)) {
            w.failed_ = true;
            w.osPosition_ = -1;  // unknown: seek again before the next write
            return -1;
        }
        if (count <= kKeptWriteBytes) {
            const auto *bytes = static_cast<const uint8_t *>(buffer);
            w.smallWrites_.emplace_back(at, std::vector<uint8_t>(bytes, bytes + count));
        }
        w.position_ = w.osPosition_ = at + count;
        w.end_ = std::max(w.end_, w.position_);
        return size;
    }
    static toff_t Seek(thandle_t handle, toff_t offset, int whence) {
        auto &w = *static_cast<CSequenceWriter *>(handle);
        int64_t base = 0;
        if (whence == SEEK_CUR) base = w.position_;
        if (whence == SEEK_END) base = w.end_;
        const int64_t at = base + static_cast<int64_t>(offset);
        if (at < 0) return static_cast<toff_t>(-1);
        w.position_ = at;
        return static_cast<toff_t>(at);
    }
    static int Close(thandle_t) { return 0; }  // the writer closes the file itself
    static toff_t Size(thandle_t handle) {
        return static_cast<toff_t>(static_cast<CSequenceWriter *>(handle)->end_);
    }
    static int Map(thandle_t, void **, toff_t *) { return 0; }
    static void Unmap(thandle_t, void *, toff_t) {}
};

void CSequenceWriter::SetPartCapForTests(int64_t bytes) {
    gPartCap.store(bytes > 0 ? std::min(bytes, kSequencePartCap) : kSequencePartCap);
}

std::string CSequenceWriter::IsoUtc(int64_t utcNs) {
    const UtcParts p = SplitUtc(utcNs);
    std::string out;
    AppendF(out, "%04d-%02u-%02uT%02u:%02u:%02u.%06uZ", p.year, p.month, p.day, p.hour, p.minute,
            p.second, p.micro);
    return out;
}

std::string CSequenceWriter::TiffDateTime(int64_t utcNs) {
    const UtcParts p = SplitUtc(utcNs);
    std::string out;
    AppendF(out, "%04d:%02u:%02u %02u:%02u:%02u", p.year, p.month, p.day, p.hour, p.minute,
            p.second);
    return out;
}

std::string CSequenceWriter::PageJson(const KalvexFrameInfo &info, float tableReference,
                                      const SequenceContext *first) {
    std::string j;
    j.reserve(first != nullptr ? 768 : 512);
    AppendF(j, "{\"sequence\":%" PRIu32 ",\"frame_id\":%" PRIu32 ",\"camera_frame\":%" PRIu32,
            info.sequence, info.frameId, info.cameraFrame);
    AppendF(j, ",\"timestamp_ns\":%" PRId64 ",\"utc\":\"%s\",\"utc_ns\":%" PRId64, info.timestampNs,
            IsoUtc(info.utcNs).c_str(), info.utcNs);
    j += ',';
    AppendFloat(j, "internal_temperature_c", info.internalTemperature);
    AppendF(j,
            ",\"internal_temperature_ns\":%" PRId64 ",\"frames_since_nuc\":%" PRIu32
            ",\"ms_since_nuc\":%" PRIu32 ",\"first_after_nuc\":%s",
            info.internalTemperatureNs, info.framesSinceNuc, info.msSinceNuc,
            (info.flags & KALVEX_FRAME_FIRST_AFTER_NUC) != 0 ? "true" : "false");
    AppendF(j,
            ",\"raw_min\":%" PRIu32 ",\"raw_max\":%" PRIu32 ",\"table_crc\":%" PRIu32
            ",\"origin\":\"%s\",\"flags\":%" PRIu32 ",",
            info.rawMin, info.rawMax, info.tableCrc, OriginName(info.origin), info.flags);
    AppendFloat(j, "table_reference_c", tableReference);
    AppendScene(j, info.scene);
    if (first != nullptr) {
        AppendF(
            j,
            ",\"kalvex\":{\"version\":%" PRIu32
            ",\"width\":%u,\"height\":%u,\"table\":{\"version\":%d,\"points\":%d,\"crc\":%" PRIu32
            ",\"bytes\":%" PRIu64 ",\"tag\":%u,\"correction_mode\":%d}",
            first->libraryVersion, kSequenceWidth, kSequenceHeight, first->tableVersion,
            first->tablePoints, first->tableCrc, static_cast<uint64_t>(first->table.size()),
            kSequenceTableTag, first->correctionMode);
        AppendScene(j, first->scene);
        j += '}';
    }
    j += '}';
    return j;
}

int CSequenceWriter::Open(const wchar_t *path, const SequenceContext &context, bool compress) {
    Close();
    if (path == nullptr || *path == 0) return 0;
    RegisterSequenceTags();
    file_ = platform::FileOpenWrite(path);
    if (file_ == nullptr) return 0;
    position_ = osPosition_ = end_ = goodEnd_ = 0;
    linkWrites_.clear();
    smallWrites_.clear();
    failed_ = false;
    pages_ = 0;
    compress_ = compress;
    context_ = context;
    page_.assign(size_t{kSequenceWidth} * kSequenceHeight, 0);
    messages_ = TiffMessages{};
    messages_.quiet = true;
    TIFFOpenOptions *options = TiffOptionsFor(&messages_);
    // "m": no memory mapping; "l": little-endian, as every reader expects.
    tiff_ = options == nullptr
                ? nullptr
                : TIFFClientOpenExt("sequence", "wml", this, SequenceWriterIo::Read,
                                    SequenceWriterIo::Write, SequenceWriterIo::Seek,
                                    SequenceWriterIo::Close, SequenceWriterIo::Size,
                                    SequenceWriterIo::Map, SequenceWriterIo::Unmap, options);
    if (options != nullptr) TIFFOpenOptionsFree(options);
    if (tiff_ == nullptr || failed_) {
        if (tiff_ != nullptr) TIFFCleanup(tiff_);
        tiff_ = nullptr;
        platform::FileClose(file_);
        file_ = nullptr;
        return 0;
    }
    goodEnd_ = end_;
    return 1;
}

int CSequenceWriter::WriteFrame(const SequenceFrame &frame) {
    if (tiff_ == nullptr || frame.topRow == nullptr) return 0;
    constexpr size_t kRowBytes = size_t{kSequenceWidth} * 2;
    for (uint32_t r = 0; r < kSequenceHeight; ++r) {
        std::memcpy(page_.data() + size_t{r} * kSequenceWidth,
                    frame.topRow + static_cast<ptrdiff_t>(r) * frame.stride, kRowBytes);
    }
    const std::string json =
        PageJson(frame.info, frame.tableReference, pages_ == 0 ? &context_ : nullptr);
    const std::string date = TiffDateTime(frame.info.utcNs);
    TIFF *t = tiff_;
    TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, kSequenceWidth);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, kSequenceHeight);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, kSequenceRowsPerStrip);
    if (compress_) {
        TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
        TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
        // The fastest level: it keeps up with the camera on one core, and
        // the predictor gives most of the gain on these images anyway.
        TIFFSetField(t, TIFFTAG_ZIPQUALITY, 1);
    } else {
        TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    }
    TIFFSetField(t, TIFFTAG_IMAGEDESCRIPTION, json.c_str());
    TIFFSetField(t, TIFFTAG_DATETIME, date.c_str());
    TIFFSetField(t, TIFFTAG_SOFTWARE, "Kalvex SDK");
    if (pages_ == 0 && !context_.table.empty()) {
        TIFFSetField(t, static_cast<ttag_t>(kSequenceTableTag),
                     static_cast<uint32_t>(context_.table.size()), context_.table.data());
    }
    bool ok = !failed_;
    constexpr uint32_t kStrips =
        (kSequenceHeight + kSequenceRowsPerStrip - 1) / kSequenceRowsPerStrip;
    for (uint32_t s = 0; ok && s < kStrips; ++s) {
        const uint32_t rows =
            std::min(kSequenceRowsPerStrip, kSequenceHeight - s * kSequenceRowsPerStrip);
        // The predictor works in place: page_ is this writer's own copy.
        ok = TIFFWriteEncodedStrip(
                 t, s, page_.data() + size_t{s} * kSequenceRowsPerStrip * kSequenceWidth,
                 static_cast<tmsize_t>(rows * kRowBytes)) >= 0;
    }
    ok = ok && !failed_ && TIFFWriteDirectory(t) == 1 && !failed_;
    if (!ok) {
        Abandon();
        return 0;
    }
    ++pages_;
    // Only the header and this page's pieces can be read again.
    const int64_t pageStart = goodEnd_;
    std::erase_if(smallWrites_,
                  [&](const auto &piece) { return piece.first >= 8 && piece.first < pageStart; });
    goodEnd_ = end_;
    linkWrites_.clear();
    return 1;
}

void CSequenceWriter::Abandon() {
    failed_ = true;
    if (tiff_ != nullptr) TIFFCleanup(tiff_);  // frees without writing anything more
    tiff_ = nullptr;
    if (file_ == nullptr) return;
    // The link to the failed page was written into the last complete page's
    // next-directory field (or the header), which held 0 before.
    static const uint8_t kZeros[8] = {};
    for (const auto &[at, size] : linkWrites_) {
        uint32_t written = 0;
        if (platform::FileSeek(file_, at))
            platform::FileWrite(file_, kZeros, static_cast<uint32_t>(std::min<int64_t>(size, 8)),
                                &written);
    }
    linkWrites_.clear();
    if (platform::FileSeek(file_, goodEnd_)) platform::FileTruncate(file_);
    end_ = goodEnd_;
    platform::FileClose(file_);
    file_ = nullptr;
}

int CSequenceWriter::Close() {
    if (tiff_ == nullptr) return 0;
    // Every page's directory is already written: nothing is left to flush.
    TIFFCleanup(tiff_);
    tiff_ = nullptr;
    platform::FileClose(file_);
    file_ = nullptr;
    return failed_ ? 0 : 1;
}

bool CSequenceWriter::PieceFull(int32_t splitLimitMiB) const {
    if (tiff_ == nullptr) return false;
    // A Deflate page never grows much beyond the raw bytes; room for two
    // covers the directory and the description too.
    if (end_ + 2 * static_cast<int64_t>(kSequenceFrameBytes) > gPartCap.load()) return true;
    return static_cast<uint32_t>(splitLimitMiB) <= static_cast<uint64_t>(end_) >> 20;
}

}  // namespace kalvex
