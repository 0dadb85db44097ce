#include "sim_scene_image.h"

#include <png.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstring>

namespace kalvex::sim {

namespace {

bool GoodTemperature(double celsius) {
    return celsius >= kImageColdest && celsius <= kImageHottest;  // false for NaN
}

bool GoodEmissivity(double e) {
    return e > 0.0 && e <= 1.0;
}

// The first bytes of a file (all of a PNG, the first frame of a recording)
// and its size. Files larger than the longest PNG a scene can have are read
// no further than that.
constexpr size_t kHeadBytes = size_t{64} << 20;

bool ReadHead(const char *path, std::vector<uint8_t> *bytes, uint64_t *size) {
    std::FILE *file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    bool ok = std::fseek(file, 0, SEEK_END) == 0;
    const long end = ok ? std::ftell(file) : -1L;
    ok = end >= 0 && std::fseek(file, 0, SEEK_SET) == 0;
    if (ok) {
        *size = static_cast<uint64_t>(end);
        bytes->resize(static_cast<size_t>(std::min<uint64_t>(*size, kHeadBytes)));
        ok = std::fread(bytes->data(), 1, bytes->size(), file) == bytes->size();
    }
    std::fclose(file);
    return ok;
}

// ---- PNG ------------------------------------------------------------------

constexpr uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

struct PngInput {
    const uint8_t *data;
    size_t size;
    size_t at;
};

void ReadPngBytes(png_structp png, png_bytep out, png_size_t n) {
    auto *in = static_cast<PngInput *>(png_get_io_ptr(png));
    if (in->size - in->at < n) png_error(png, "truncated");
    std::memcpy(out, in->data + in->at, n);
    in->at += n;
}

[[noreturn]] void PngFailed(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}

void PngWarning(png_structp, png_const_charp) {}

// Big-endian 16-bit samples of a 640 x 480 greyscale image into samples
// (kImagePixels * 2 bytes, the caller's). Plain data only between setjmp and
// longjmp: no destructor is skipped.
bool DecodeGrey16(png_structp png, png_infop info, uint8_t *samples) {
    if (setjmp(png_jmpbuf(png)) != 0) return false;
    png_read_info(png, info);
    if (png_get_image_width(png, info) != kImageWidth ||
        png_get_image_height(png, info) != kImageHeight || png_get_bit_depth(png, info) != 16 ||
        png_get_color_type(png, info) != PNG_COLOR_TYPE_GRAY)
        return false;
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    std::array<png_bytep, kImageHeight> rows;
    for (size_t y = 0; y < rows.size(); ++y) rows[y] = samples + y * kImageWidth * 2;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    return true;
}

bool DecodePng(const std::vector<uint8_t> &file, double scale, double offset, SceneImage *image) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, PngFailed, PngWarning);
    if (png == nullptr) return false;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return false;
    }
    PngInput input{file.data(), file.size(), 0};
    png_set_read_fn(png, &input, ReadPngBytes);
    std::vector<uint8_t> samples(kImagePixels * 2);
    const bool decoded = DecodeGrey16(png, info, samples.data());
    png_destroy_read_struct(&png, &info, nullptr);
    if (!decoded) return false;
    image->celsius.resize(kImagePixels);
    for (size_t i = 0; i < kImagePixels; ++i) {
        const int value = samples[2 * i] << 8 | samples[2 * i + 1];
        const double celsius = offset + value * scale;
        if (!GoodTemperature(celsius)) return false;
        image->celsius[i] = static_cast<float>(celsius);
    }
    return true;
}

// ---- temp-f32 ---------------------------------------------------------------

// The file's first frame; its size must be a whole number of frames.
bool DecodeTempF32(const std::vector<uint8_t> &file, uint64_t size, SceneImage *image) {
    if (size == 0 || size % kTempF32FrameBytes != 0 || file.size() < kTempF32FrameBytes)
        return false;
    image->celsius.resize(kImagePixels);
    for (size_t i = 0; i < kImagePixels; ++i) {
        const uint8_t *p = &file[4 * i];
        const uint32_t bits = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                              static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
        float celsius;
        std::memcpy(&celsius, &bits, sizeof celsius);
        // -999.0, the library's pixel without a temperature, is refused too.
        if (!GoodTemperature(celsius)) return false;
        image->celsius[i] = celsius;
    }
    return true;
}

// ---- Radiometry by table -------------------------------------------------------

// W(T) at every step degrees from low, interpolated linearly both ways. The
// error of a linear interpolation of W over a step h is about h^2 / 8 * W''
// in radiance, which is about 1e-6 degrees at 1/32 of a degree: far below the
// 1/40 degree of one raw value, and a thousandth of the integration and
// bisection per pixel that the exact computation would cost.
class RadianceTable {
  public:
    RadianceTable(double low, double high) : low_(low) {
        constexpr double kStep = 1.0 / 32.0;
        constexpr double kMaxPoints = 65536.0;
        step_ = std::max(kStep, (high - low) / (kMaxPoints - 1.0));
        const auto points = static_cast<size_t>(std::ceil((high - low) / step_)) + 2;
        w_.resize(points);
        for (size_t i = 0; i < points; ++i)
            w_[i] = BandRadiance(low_ + static_cast<double>(i) * step_);
    }

    double Radiance(double celsius) const {
        const double at = (celsius - low_) / step_;
        const auto i = std::min(static_cast<size_t>(std::max(at, 0.0)), w_.size() - 2);
        const double f = at - static_cast<double>(i);
        return w_[i] + f * (w_[i + 1] - w_[i]);
    }

    double Temperature(double radiance) const {
        // The first point at or above the radiance (W rises with T).
        const auto above = std::lower_bound(w_.begin() + 1, w_.end() - 1, radiance);
        const auto i = static_cast<size_t>(above - w_.begin()) - 1;
        const double span = w_[i + 1] - w_[i];
        const double f = span > 0.0 ? std::clamp((radiance - w_[i]) / span, 0.0, 1.0) : 0.0;
        return low_ + (static_cast<double>(i) + f) * step_;
    }

  private:
    double low_, step_;
    std::vector<double> w_;
};

}  // namespace

std::shared_ptr<const SceneImage> MakeSceneImage(const float *celsius, const float *emissivity) {
    if (celsius == nullptr) return nullptr;
    auto image = std::make_shared<SceneImage>();
    image->celsius.assign(celsius, celsius + kImagePixels);
    if (!std::all_of(image->celsius.begin(), image->celsius.end(), GoodTemperature)) return nullptr;
    if (emissivity != nullptr) {
        image->emissivity.assign(emissivity, emissivity + kImagePixels);
        if (!std::all_of(image->emissivity.begin(), image->emissivity.end(), GoodEmissivity))
            return nullptr;
        if (std::all_of(image->emissivity.begin(), image->emissivity.end(),
                        [](float e) { return e == 1.0f; }))
            image->emissivity.clear();
    }
    return image;
}

std::shared_ptr<const SceneImage> LoadSceneImage(const char *path, double scale, double offset) {
    if (path == nullptr) return nullptr;
    std::vector<uint8_t> file;
    uint64_t size = 0;
    if (!ReadHead(path, &file, &size)) return nullptr;
    auto image = std::make_shared<SceneImage>();
    const bool png = file.size() >= sizeof kPngSignature &&
                     std::memcmp(file.data(), kPngSignature, sizeof kPngSignature) == 0;
    if (png) {
        if (!std::isfinite(scale) || !std::isfinite(offset)) return nullptr;
        if (!DecodePng(file, scale, offset, image.get())) return nullptr;
    } else if (!DecodeTempF32(file, size, image.get())) {
        return nullptr;
    }
    return image;
}

std::vector<double> ApparentImage(const SceneImage &image, const Radiometry &r) {
    std::vector<double> apparent(image.celsius.begin(), image.celsius.end());
    const bool clear = r.transmission == 1.0;
    if (clear && image.emissivity.empty()) return apparent;  // black bodies: exactly as set

    // The apparent temperature lies between the coldest and hottest of the
    // object, its surroundings and the path, so the table covers those.
    const auto [coldest, hottest] = std::minmax_element(image.celsius.begin(), image.celsius.end());
    const double low = std::min({static_cast<double>(*coldest), r.reflected, r.path});
    const double high = std::max({static_cast<double>(*hottest), r.reflected, r.path});
    const RadianceTable table(std::max(low, kImageColdest), std::min(high, kImageHottest));
    const double reflected = BandRadiance(r.reflected);
    const double path = (1.0 - r.transmission) * BandRadiance(r.path);
    for (size_t i = 0; i < kImagePixels; ++i) {
        const double e = image.emissivity.empty() ? 1.0 : image.emissivity[i];
        if (e == 1.0 && clear) continue;
        const double object = e * table.Radiance(apparent[i]) + (1.0 - e) * reflected;
        apparent[i] = table.Temperature(r.transmission * object + path);
    }
    return apparent;
}

}  // namespace kalvex::sim
