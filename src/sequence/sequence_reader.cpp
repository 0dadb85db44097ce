#include "sequence/sequence_reader.h"

#include <algorithm>
#include <cstring>
#include <new>

#include <tiffio.h>

#include "kalvex_sequence.h"
#include "output/sequence_writer.h"
#include "platform/platform.h"
#include "sequence/json_lite.h"
#include "thermal/radiance.h"
#include "thermal/thermo_table.h"

namespace kalvex {

namespace {

class FileSequenceSource final : public SequenceSource {
  public:
    explicit FileSequenceSource(platform::File *file)
        : file_(file), size_(platform::FileSize(file)) {}
    ~FileSequenceSource() override { platform::FileClose(file_); }
    int64_t Size() const override { return size_; }
    bool ReadAt(int64_t offset, void *buffer, int64_t size) override {
        if (offset < 0 || size < 0 || offset > size_ || size > size_ - offset) return false;
        if (!platform::FileSeek(file_, offset)) return false;
        auto *out = static_cast<uint8_t *>(buffer);
        while (size > 0) {
            const auto chunk = static_cast<uint32_t>(std::min<int64_t>(size, 1 << 30));
            uint32_t got = 0;
            if (!platform::FileRead(file_, out, chunk, &got) || got != chunk) return false;
            out += chunk;
            size -= chunk;
        }
        return true;
    }

  private:
    platform::File *file_;
    int64_t size_;
};

class MemorySequenceSource final : public SequenceSource {
  public:
    MemorySequenceSource(const uint8_t *data, size_t size)
        : data_(data), size_(static_cast<int64_t>(size)) {}
    int64_t Size() const override { return size_; }
    bool ReadAt(int64_t offset, void *buffer, int64_t size) override {
        if (offset < 0 || size < 0 || offset > size_ || size > size_ - offset) return false;
        if (size > 0) std::memcpy(buffer, data_ + offset, static_cast<size_t>(size));
        return true;
    }

  private:
    const uint8_t *data_;
    int64_t size_;
};

tmsize_t Read(thandle_t h, void *buffer, tmsize_t size) {
    auto &r = *static_cast<CSequenceReader *>(h);
    if (!r.Source()->ReadAt(r.position, buffer, static_cast<int64_t>(size))) {
        // libtiff reads short at the end of a file on purpose: give what is there.
        const int64_t left = std::max<int64_t>(0, r.Source()->Size() - r.position);
        const int64_t n = std::min<int64_t>(left, static_cast<int64_t>(size));
        if (n <= 0 || !r.Source()->ReadAt(r.position, buffer, n)) return 0;
        r.position += n;
        return static_cast<tmsize_t>(n);
    }
    r.position += static_cast<int64_t>(size);
    return size;
}
tmsize_t Write(thandle_t, void *, tmsize_t) {
    return -1;
}
toff_t Seek(thandle_t h, toff_t offset, int whence) {
    auto &r = *static_cast<CSequenceReader *>(h);
    int64_t base = whence == SEEK_CUR ? r.position : whence == SEEK_END ? r.Source()->Size() : 0;
    if (offset > static_cast<toff_t>(INT64_MAX / 2)) return static_cast<toff_t>(-1);
    const int64_t at = base + static_cast<int64_t>(offset);
    if (at < 0) return static_cast<toff_t>(-1);
    r.position = at;
    return static_cast<toff_t>(at);
}
int Close(thandle_t) {
    return 0;
}
toff_t Size(thandle_t h) {
    return static_cast<toff_t>(static_cast<CSequenceReader *>(h)->Source()->Size());
}
int Map(thandle_t, void **, toff_t *) {
    return 0;
}
void Unmap(thandle_t, void *, toff_t) {}

bool ReadScene(const JsonValue &v, KalvexScene *scene) {
    if (v.kind != JsonValue::kObject) return false;
    for (const SceneField &field : kSceneFields)
        if (!v.GetFloat(field.key, &(scene->*field.member))) return false;
    return SceneValid(*scene);
}

uint32_t OriginCode(const std::string &name) {
    if (name == "oneshot") return KALVEX_FRAME_ONESHOT;
    if (name == "triggered") return KALVEX_FRAME_TRIGGERED;
    return KALVEX_FRAME_STREAM;
}

}  // namespace

std::unique_ptr<SequenceSource> FileSource(const wchar_t *path) {
    platform::File *file = path != nullptr ? platform::FileOpenRead(path) : nullptr;
    if (file == nullptr) return nullptr;
    return std::make_unique<FileSequenceSource>(file);
}

std::unique_ptr<SequenceSource> MemorySource(const uint8_t *data, size_t size) {
    return std::make_unique<MemorySequenceSource>(data, size);
}

CSequenceReader::~CSequenceReader() {
    if (tiff_ != nullptr) TIFFCleanup(tiff_);
}

int CSequenceReader::Open(std::unique_ptr<SequenceSource> source) {
    if (!source) return KALVEX_SEQ_E_OPEN;
    source_ = std::move(source);
    RegisterSequenceTags();
    uint8_t magic[4] = {};
    if (!source_->ReadAt(0, magic, 4) || !((magic[0] == 'I' && magic[1] == 'I' && magic[2] == 42) ||
                                           (magic[0] == 'M' && magic[1] == 'M' && magic[3] == 42)))
        return KALVEX_SEQ_E_NOT_TIFF;
    messages_.quiet = true;
    TIFFOpenOptions *options = TiffOptionsFor(&messages_);
    if (options == nullptr) return KALVEX_SEQ_E_NO_MEMORY;
    // Recordings are far below libtiff's own limits; a hostile file asking
    // for more memory than a page needs is refused early.
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, 16 << 20);
    tiff_ = TIFFClientOpenExt("sequence", "rm", this, Read, Write, Seek, Close, Size, Map, Unmap,
                              options);
    TIFFOpenOptionsFree(options);
    if (tiff_ == nullptr) return KALVEX_SEQ_E_NOT_TIFF;
    bool tableDeclared = false;
    uint32_t tableCrc = 0;
    do {
        if (pages_.size() >= 1000000) return KALVEX_SEQ_E_FORMAT;
        uint32_t width = 0, height = 0;
        uint16_t bits = 0, samples = 1, photometric = 0, planar = PLANARCONFIG_CONTIG,
                 compression = 0, format = SAMPLEFORMAT_UINT;
        TIFFGetField(tiff_, TIFFTAG_IMAGEWIDTH, &width);
        TIFFGetField(tiff_, TIFFTAG_IMAGELENGTH, &height);
        TIFFGetField(tiff_, TIFFTAG_BITSPERSAMPLE, &bits);
        TIFFGetFieldDefaulted(tiff_, TIFFTAG_SAMPLESPERPIXEL, &samples);
        TIFFGetField(tiff_, TIFFTAG_PHOTOMETRIC, &photometric);
        TIFFGetFieldDefaulted(tiff_, TIFFTAG_PLANARCONFIG, &planar);
        TIFFGetFieldDefaulted(tiff_, TIFFTAG_COMPRESSION, &compression);
        TIFFGetFieldDefaulted(tiff_, TIFFTAG_SAMPLEFORMAT, &format);
        if (width != kSequenceWidth || height != kSequenceHeight || bits != 16 || samples != 1 ||
            photometric != PHOTOMETRIC_MINISBLACK || planar != PLANARCONFIG_CONTIG ||
            format != SAMPLEFORMAT_UINT || TIFFIsTiled(tiff_) ||
            (compression != COMPRESSION_NONE && compression != COMPRESSION_ADOBE_DEFLATE &&
             compression != COMPRESSION_DEFLATE))
            return KALVEX_SEQ_E_FORMAT;
        char *text = nullptr;
        JsonValue json;
        if (TIFFGetField(tiff_, TIFFTAG_IMAGEDESCRIPTION, &text) != 1 || text == nullptr ||
            !ParseJson(text, &json) || json.kind != JsonValue::kObject)
            return KALVEX_SEQ_E_METADATA;
        Page page;
        KalvexFrameInfo &i = page.info;
        i.size = sizeof(KalvexFrameInfo);
        std::string origin;
        bool firstAfterNuc = false;
        const JsonValue *scene = json.Find("scene");
        if (!json.GetUint32("sequence", &i.sequence) || !json.GetUint32("frame_id", &i.frameId) ||
            !json.GetUint32("camera_frame", &i.cameraFrame) ||
            !json.GetInt64("timestamp_ns", &i.timestampNs) || !json.GetInt64("utc_ns", &i.utcNs) ||
            !json.GetFloat("internal_temperature_c", &i.internalTemperature) ||
            !json.GetInt64("internal_temperature_ns", &i.internalTemperatureNs) ||
            !json.GetUint32("frames_since_nuc", &i.framesSinceNuc) ||
            !json.GetUint32("ms_since_nuc", &i.msSinceNuc) ||
            !json.GetBool("first_after_nuc", &firstAfterNuc) ||
            !json.GetUint32("raw_min", &i.rawMin) || !json.GetUint32("raw_max", &i.rawMax) ||
            !json.GetUint32("table_crc", &i.tableCrc) || !json.GetString("origin", &origin) ||
            !json.GetUint32("flags", &i.flags) ||
            !json.GetFloat("table_reference_c", &page.tableReference) || scene == nullptr ||
            !ReadScene(*scene, &i.scene))
            return KALVEX_SEQ_E_METADATA;
        i.origin = OriginCode(origin);
        if (pages_.empty()) {
            const JsonValue *context = json.Find("kalvex");
            const JsonValue *table = context != nullptr ? context->Find("table") : nullptr;
            uint32_t bytes = 0;
            if (table == nullptr || !table->GetUint32("crc", &tableCrc) ||
                !table->GetUint32("bytes", &bytes))
                return KALVEX_SEQ_E_METADATA;
            int64_t mode = 0;
            if (table->GetInt64("correction_mode", &mode))
                correctionMode_ = static_cast<int32_t>(mode);
            tableDeclared = bytes != 0;
            uint32_t count = 0;
            void *data = nullptr;
            const bool present =
                TIFFGetField(tiff_, kSequenceTableTag, &count, &data) == 1 && data != nullptr;
            if (tableDeclared) {
                if (!present || count != bytes) return KALVEX_SEQ_E_TABLE;
                table_.assign(static_cast<const uint8_t *>(data),
                              static_cast<const uint8_t *>(data) + count);
                ParsedTable parsed;
                if (TableFileCrc(table_.data(), table_.size()) != tableCrc ||
                    !ParseThermoTable(table_.data(), table_.size(), 0, parsed))
                    return KALVEX_SEQ_E_TABLE;
            }
        }
        pages_.push_back(page);
    } while (TIFFReadDirectory(tiff_) == 1);
    raw_.resize(size_t{kSequenceWidth} * kSequenceHeight);
    return 1;
}

int CSequenceReader::ReadRaw(int32_t index, uint16_t *out) {
    if (out == nullptr || index < 0 || index >= Count()) return KALVEX_SEQ_E_ARGUMENT;
    if (TIFFSetDirectory(tiff_, static_cast<tdir_t>(index)) != 1) return KALVEX_SEQ_E_TRUNCATED;
    const tstrip_t strips = TIFFNumberOfStrips(tiff_);
    uint32_t rowsPerStrip = 0;
    TIFFGetFieldDefaulted(tiff_, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
    rowsPerStrip = std::min(rowsPerStrip, kSequenceHeight);
    if (rowsPerStrip == 0 || strips != (kSequenceHeight + rowsPerStrip - 1) / rowsPerStrip)
        return KALVEX_SEQ_E_FORMAT;
    auto *bytes = reinterpret_cast<uint8_t *>(out);
    for (tstrip_t s = 0; s < strips; ++s) {
        const uint32_t rows = std::min(rowsPerStrip, kSequenceHeight - s * rowsPerStrip);
        const auto want = static_cast<tmsize_t>(size_t{rows} * kSequenceWidth * 2);
        if (TIFFReadEncodedStrip(tiff_, s, bytes + size_t{s} * rowsPerStrip * kSequenceWidth * 2,
                                 want) != want)
            return KALVEX_SEQ_E_TRUNCATED;
    }
    if (TIFFIsByteSwapped(tiff_))
        TIFFSwabArrayOfShort(out, tmsize_t{kSequenceWidth} * kSequenceHeight);
    return 1;
}

int CSequenceReader::GetInfo(int32_t index, KalvexFrameInfo *info) const {
    if (info == nullptr || index < 0 || index >= Count() || info->size < KALVEX_FRAME_INFO_MIN_SIZE)
        return KALVEX_SEQ_E_ARGUMENT;
    KalvexFrameInfo copy = pages_[static_cast<size_t>(index)].info;
    const uint32_t size = std::min<uint32_t>(info->size, sizeof copy);
    copy.size = info->size;
    std::memcpy(info, &copy, size);
    return 1;
}

KalvexScene CSequenceReader::Scene() const {
    return pages_.empty() ? DefaultScene() : pages_.front().info.scene;
}

int CSequenceReader::PrepareTable(int32_t index, const KalvexScene *scene,
                                  std::shared_ptr<const CThermoTableState> *state) {
    if (index < 0 || index >= Count()) return KALVEX_SEQ_E_ARGUMENT;
    if (table_.empty()) return KALVEX_SEQ_E_NO_TABLE;
    const Page &page = pages_[static_cast<size_t>(index)];
    const KalvexScene use = scene != nullptr ? *scene : page.info.scene;
    if (!SceneValid(use)) return KALVEX_SEQ_E_ARGUMENT;
    try {
        if (!thermo_ || builtReference_ != page.tableReference) {
            // Loading with the recorded reference shifts the points exactly
            // as the recording's last rebuild did.
            auto thermo = std::make_unique<CThermoTable>();
            reference_ = std::make_unique<std::atomic<float>>(page.tableReference);
            thermo->LinkReferenceTemperature(reference_.get());
            thermo->SetCorrectionMode(correctionMode_);
            if (thermo->LoadTableFromMemory(table_.data(), table_.size()) != 1)
                return KALVEX_SEQ_E_TABLE;
            thermo_ = std::move(thermo);
            builtReference_ = page.tableReference;
        }
        std::shared_ptr<const SceneModel> model;
        if (!SceneIsIdentity(use)) model = std::make_shared<const SceneModel>(use);
        if (thermo_->SetScene(model, nullptr) == 0) return KALVEX_SEQ_E_NO_MEMORY;
    } catch (const std::bad_alloc &) {
        return KALVEX_SEQ_E_NO_MEMORY;
    }
    *state = thermo_->State();
    return 1;
}

int CSequenceReader::ReadTemperatures(int32_t index, const KalvexScene *scene, float *out) {
    if (out == nullptr) return KALVEX_SEQ_E_ARGUMENT;
    std::shared_ptr<const CThermoTableState> state;
    const int prepared = PrepareTable(index, scene, &state);
    if (prepared != 1) return prepared;
    const int raw = ReadRaw(index, raw_.data());
    if (raw != 1) return raw;
    for (size_t k = 0; k < raw_.size(); ++k) out[k] = state->LookupTemperature(raw_[k]);
    return 1;
}

}  // namespace kalvex
