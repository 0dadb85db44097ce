// The KalvexMeasure_ exports: palettes, contrast, regions, statistics and
// alarms beside the 29 Kalvex_ functions. No exception crosses this boundary.
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "api/colour_options.h"
#include "api/dispatch.h"
#include "kalvex_measure.h"
#include "measure/measure_context.h"
#include "measure/palette.h"
#include "thermal/kalvex_instance.h"

using kalvex::CKalvex;
namespace m = kalvex::measure;

namespace {

// Measurement allocates per call (histograms, masks): running out of memory
// is recorded on the instance, not only failed.
template <class Work>
int32_t OnInstance(int32_t handle, Work work) noexcept {
    return kalvex::Dispatch<int32_t>(handle, 0, [&](CKalvex &k) -> int32_t {
        try {
            return work(k);
        } catch (const std::bad_alloc &) {
            k.ReportError(KALVEX_EV_NO_MEMORY);
            return 0;
        }
    });
}

int32_t Refuse(CKalvex &k, int32_t code = KALVEX_EV_INVALID_ARGUMENT) {
    k.ReportError(code);
    return 0;
}

bool BuildAll(const KalvexRoi *rois, int32_t count, int32_t width, int32_t height,
              std::vector<m::Region> &regions) {
    if (rois == nullptr || count <= 0) return false;
    regions.resize(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i)
        if (!m::BuildRegion(rois[i], width, height, regions[static_cast<size_t>(i)])) return false;
    return true;
}

}  // namespace

extern "C" {

KALVEX_API const char *KALVEX_CALL KalvexMeasure_PaletteName(int32_t palette) {
    const std::string_view name = m::PaletteName(palette);
    return name.empty() ? nullptr : name.data();
}

KALVEX_API int32_t KALVEX_CALL KalvexMeasure_PaletteId(const char *name) {
    return name == nullptr ? -1 : m::PaletteId(name);
}

KALVEX_API int32_t KALVEX_CALL KalvexMeasure_PaletteColors(int32_t palette, uint8_t *rgb,
                                                           int32_t size) {
    if (palette < 0 || palette >= KALVEX_PALETTE_COUNT || rgb == nullptr) return 0;
    if (palette == KALVEX_PALETTE_HUE) {
        if (size < 3 * KALVEX_HUE_ENTRIES) return 0;
        kalvex::HueTable hue{};
        kalvex::BuildHueTable(hue);
        for (size_t i = 0; i < hue.size(); ++i) {
            rgb[3 * i] = static_cast<uint8_t>(hue[i]);
            rgb[3 * i + 1] = static_cast<uint8_t>(hue[i] >> 8);
            rgb[3 * i + 2] = static_cast<uint8_t>(hue[i] >> 16);
        }
        return KALVEX_HUE_ENTRIES;
    }
    if (size < 3 * KALVEX_PALETTE_ENTRIES) return 0;
    const m::Palette &p = m::NamedPalette(palette);
    for (size_t i = 0; i < p.size(); ++i) {
        rgb[3 * i] = static_cast<uint8_t>(p[i] >> 16);
        rgb[3 * i + 1] = static_cast<uint8_t>(p[i] >> 8);
        rgb[3 * i + 2] = static_cast<uint8_t>(p[i]);
    }
    return KALVEX_PALETTE_ENTRIES;
}

KALVEX_API void KALVEX_CALL KalvexMeasure_DefaultColorOptions(KalvexColorOptions *options) {
    if (options == nullptr) return;
    std::memset(options, 0, sizeof *options);
    options->palette = KALVEX_PALETTE_HUE;
    options->agc = KALVEX_AGC_RANGE;
    options->tailPercent = 1.0f;
    options->plateauLimit = 150.0f;
}

KALVEX_API int32_t KALVEX_CALL KalvexMeasure_Colorize(int32_t handle, uint32_t frameId,
                                                      const KalvexColorOptions *options,
                                                      uint8_t *buffer, int32_t size,
                                                      KalvexColorBar *bar) {
    return OnInstance(handle, [&](CKalvex &k) -> int32_t {
        KalvexColorOptions defaults;
        KalvexMeasure_DefaultColorOptions(&defaults);
        m::ColourOptions o;
        if (!kalvex::api::ToOptions(options != nullptr ? *options : defaults, o) ||
            buffer == nullptr)
            return Refuse(k);
        if (size < CKalvex::kFrameWidth * CKalvex::kFrameHeight * 3)
            return Refuse(k, KALVEX_EV_NO_MEMORY);
        auto context = m::MeasureContext::Of(k);
        m::ColourResult result;
        if (!context || !context->Colorize(k, frameId, o, buffer, result)) return Refuse(k);
        if (bar != nullptr) kalvex::api::FillColorBar(result, *k.Table().State(), bar);
        return 1;
    });
}

KALVEX_API int32_t KALVEX_CALL KalvexMeasure_SetOutputColor(int32_t handle,
                                                            const KalvexColorOptions *options) {
    return OnInstance(handle, [&](CKalvex &k) -> int32_t {
        m::ColourOptions o;
        if (options != nullptr && !kalvex::api::ToOptions(*options, o)) return Refuse(k);
        auto context = m::MeasureContext::Of(k);
        if (!context) return Refuse(k);
        context->SetOutputColour(options != nullptr ? &o : nullptr);
        return 1;
    });
}

KALVEX_API int32_t KALVEX_CALL KalvexMeasure_Stats(int32_t handle, uint32_t frameId,
                                                   const KalvexRoi *rois, int32_t count,
                                                   KalvexStats *stats) {
    return OnInstance(handle, [&](CKalvex &k) -> int32_t {
        std::vector<m::Region> regions;
        if (stats == nullptr ||
            !BuildAll(rois, count, CKalvex::kFrameWidth, CKalvex::kFrameHeight, regions))
            return Refuse(k);
        // Written to stats only when the frame was found: nothing on a refusal.
        std::vector<KalvexStats> found(regions.size());
        if (!m::OnTableFrame(k, frameId, [&](const m::TableFrame &frame) {
                for (size_t i = 0; i < regions.size(); ++i)
                    found[i] = m::MeasureTableFrame(frame, regions[i]);
            }))
            return Refuse(k);
        std::copy(found.begin(), found.end(), stats);
        return 1;
    });
}

KALVEX_API int32_t KALVEX_CALL KalvexMeasure_Profile(int32_t handle, uint32_t frameId,
                                                     const KalvexRoi *line, float *values,
                                                     int32_t capacity) {
    return OnInstance(handle, [&](CKalvex &k) -> int32_t {
        std::vector<m::Region> regions;
        if (!BuildAll(line, 1, CKalvex::kFrameWidth, CKalvex::kFrameHeight, regions) ||
            line->kind != KALVEX_ROI_LINE || capacity < 0 || (values == nullptr && capacity > 0))
            return Refuse(k);
        m::TableFrame frame;
        if (!m::CopyTableFrame(k, frameId, frame)) return Refuse(k);
        std::vector<float> profile;
        m::MeasureTableFrame(frame, regions[0], &profile);
        if (values != nullptr)
            std::memcpy(
                values, profile.data(),
                sizeof(float) * std::min<size_t>(profile.size(), static_cast<size_t>(capacity)));
        return static_cast<int32_t>(profile.size());
    });
}

KALVEX_API int32_t KALVEX_CALL KalvexMeasure_StatsOf(const float *temperatures, int32_t width,
                                                     int32_t height, const KalvexScene *scene,
                                                     const KalvexRoi *rois, int32_t count,
                                                     KalvexStats *stats) {
    try {
        std::vector<m::Region> regions;
        if (temperatures == nullptr || stats == nullptr || width <= 0 || height <= 0 ||
            !BuildAll(rois, count, width, height, regions))
            return 0;
        const KalvexScene base = scene != nullptr ? *scene : kalvex::DefaultScene();
        if (!kalvex::SceneValid(base)) return 0;
        for (size_t i = 0; i < regions.size(); ++i)
            stats[i] = m::MeasureTemperatures(temperatures, width, regions[i], base);
        return 1;
    } catch (...) {
        return 0;
    }
}

KALVEX_API int32_t KALVEX_CALL KalvexMeasure_ProfileOf(const float *temperatures, int32_t width,
                                                       int32_t height, const KalvexRoi *line,
                                                       float *values, int32_t capacity) {
    try {
        std::vector<m::Region> regions;
        if (temperatures == nullptr || width <= 0 || height <= 0 ||
            !BuildAll(line, 1, width, height, regions) || line->kind != KALVEX_ROI_LINE ||
            capacity < 0 || (values == nullptr && capacity > 0))
            return 0;
        std::vector<float> profile;
        m::MeasureTemperatures(temperatures, width, regions[0], kalvex::DefaultScene(), &profile);
        if (values != nullptr)
            std::memcpy(
                values, profile.data(),
                sizeof(float) * std::min<size_t>(profile.size(), static_cast<size_t>(capacity)));
        return static_cast<int32_t>(profile.size());
    } catch (...) {
        return 0;
    }
}

KALVEX_API float KALVEX_CALL KalvexMeasure_Difference(const KalvexStats *a, const KalvexStats *b,
                                                      int32_t statistic) {
    if (a == nullptr || b == nullptr) return std::numeric_limits<float>::quiet_NaN();
    return static_cast<float>(m::StatisticOf(*a, statistic) - m::StatisticOf(*b, statistic));
}

KALVEX_API int32_t KALVEX_CALL KalvexMeasure_AddAlarm(int32_t handle, const KalvexRoi *roi,
                                                      const KalvexAlarm *alarm) {
    return OnInstance(handle, [&](CKalvex &k) -> int32_t {
        m::Region region;
        if (roi == nullptr || alarm == nullptr || !m::AlarmValid(*alarm) ||
            !m::BuildRegion(*roi, CKalvex::kFrameWidth, CKalvex::kFrameHeight, region))
            return Refuse(k);
        auto context = m::MeasureContext::Of(k);
        if (!context) return Refuse(k);
        const int32_t id = context->AddAlarm(std::move(region), *alarm);
        return id != 0 ? id : Refuse(k, KALVEX_EV_NO_MEMORY);
    });
}

KALVEX_API int32_t KALVEX_CALL KalvexMeasure_RemoveAlarm(int32_t handle, int32_t alarm) {
    return OnInstance(handle, [&](CKalvex &k) -> int32_t {
        auto context = m::MeasureContext::Of(k);
        return context && context->RemoveAlarm(alarm) ? 1 : Refuse(k);
    });
}

KALVEX_API int32_t KALVEX_CALL KalvexMeasure_AlarmActive(int32_t handle, int32_t alarm) {
    return OnInstance(handle, [&](CKalvex &k) -> int32_t {
        auto context = m::MeasureContext::Of(k);
        const int active = context ? context->AlarmActive(alarm) : -1;
        return active >= 0 ? active : Refuse(k);
    });
}

KALVEX_API int32_t KALVEX_CALL KalvexMeasure_PollAlarm(int32_t handle, KalvexAlarmEvent *event) {
    return OnInstance(handle, [&](CKalvex &k) -> int32_t {
        if (event == nullptr) return Refuse(k);
        auto context = m::MeasureContext::Of(k);
        return context && context->PollAlarm(*event) ? 1 : 0;
    });
}

}  // extern "C"
