// The KalvexSeq_ exports: reading radiometric sequences back. Handles name
// readers in a registry of their own; a call holds the reader it found, so a
// close on another thread never frees one in use. No exception crosses this
// boundary.
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "api/colour_options.h"
#include "api/dispatch.h"
#include "kalvex_sequence.h"
#include "measure/contrast.h"
#include "platform/platform.h"
#include "sequence/sequence_reader.h"
#include "thermal/kalvex_instance.h"

namespace {

struct OpenSequence {
    std::mutex lock;  // libtiff's handle serves one call at a time
    kalvex::CSequenceReader reader;
};

std::mutex gLock;
std::map<int32_t, std::shared_ptr<OpenSequence>> gOpen;
int32_t gNext = 0;

std::shared_ptr<OpenSequence> Find(int32_t seq) {
    std::lock_guard guard(gLock);
    const auto it = gOpen.find(seq);
    return it == gOpen.end() ? nullptr : it->second;
}

template <class Work>
int32_t OnSequence(int32_t seq, Work work) noexcept {
    try {
        std::shared_ptr<OpenSequence> open = Find(seq);
        if (!open) return KALVEX_SEQ_E_HANDLE;
        std::lock_guard guard(open->lock);
        return work(open->reader);
    } catch (const std::bad_alloc &) {
        return KALVEX_SEQ_E_NO_MEMORY;
    } catch (...) {
        return KALVEX_SEQ_E_ARGUMENT;
    }
}

constexpr int32_t kRawBytes = 640 * 480 * 2;
constexpr int32_t kTemperatureBytes = 640 * 480 * 4;
constexpr int32_t kColourBytes = 640 * 480 * 3;
constexpr int kWidth = 640, kHeight = 480;

}  // namespace

extern "C" {

KALVEX_API int32_t KALVEX_CALL KalvexSeq_OpenW(const wchar_t *path) {
    try {
        if (path == nullptr || *path == 0) return KALVEX_SEQ_E_ARGUMENT;
        auto open = std::make_shared<OpenSequence>();
        std::unique_ptr<kalvex::SequenceSource> source = kalvex::FileSource(path);
        if (!source) return KALVEX_SEQ_E_OPEN;
        const int result = open->reader.Open(std::move(source));
        if (result != 1) return result;
        std::lock_guard guard(gLock);
        do gNext = gNext == INT32_MAX ? 1 : gNext + 1;
        while (gOpen.count(gNext) != 0);
        gOpen.emplace(gNext, std::move(open));
        return gNext;
    } catch (const std::bad_alloc &) {
        return KALVEX_SEQ_E_NO_MEMORY;
    } catch (...) {
        return KALVEX_SEQ_E_OPEN;
    }
}

KALVEX_API int32_t KALVEX_CALL KalvexSeq_OpenA(const char *path) {
    try {
        if (path == nullptr || *path == 0) return KALVEX_SEQ_E_ARGUMENT;
        std::wstring wide(std::char_traits<char>::length(path) + 1, L'\0');
        if (kalvex::platform::NarrowToWide(path, wide.data(), static_cast<int>(wide.size())) == 0)
            return KALVEX_SEQ_E_ARGUMENT;
        return KalvexSeq_OpenW(wide.c_str());
    } catch (...) {
        return KALVEX_SEQ_E_NO_MEMORY;
    }
}

KALVEX_API int32_t KALVEX_CALL KalvexSeq_RecordW(int32_t handle, const wchar_t *path,
                                                 int32_t options) {
    return kalvex::Dispatch<int32_t>(
        handle, 0, [&](kalvex::CKalvex &k) { return k.RequestSequence(path, options); });
}

KALVEX_API int32_t KALVEX_CALL KalvexSeq_RecordA(int32_t handle, const char *path,
                                                 int32_t options) {
    return kalvex::Dispatch<int32_t>(handle, 0, [&](kalvex::CKalvex &k) {
        // A path that does not fit, or does not convert, is refused as too long.
        wchar_t wide[260];
        const bool fits = path != nullptr && kalvex::platform::NarrowToWide(path, wide, 260) != 0;
        return k.RequestSequence(fits ? wide : (path == nullptr ? nullptr : L""), options);
    });
}

KALVEX_API int32_t KALVEX_CALL KalvexSeq_Count(int32_t seq) {
    return OnSequence(seq, [](kalvex::CSequenceReader &r) { return r.Count(); });
}

KALVEX_API int32_t KALVEX_CALL KalvexSeq_ReadRaw(int32_t seq, int32_t index, uint16_t *buffer,
                                                 int32_t bufferSize) {
    return OnSequence(seq, [&](kalvex::CSequenceReader &r) {
        return bufferSize < kRawBytes ? KALVEX_SEQ_E_ARGUMENT : r.ReadRaw(index, buffer);
    });
}

KALVEX_API int32_t KALVEX_CALL KalvexSeq_GetInfo(int32_t seq, int32_t index,
                                                 KalvexFrameInfo *info) {
    return OnSequence(seq, [&](kalvex::CSequenceReader &r) { return r.GetInfo(index, info); });
}

KALVEX_API int32_t KALVEX_CALL KalvexSeq_ReadTemperatures(int32_t seq, int32_t index,
                                                          const KalvexScene *scene, float *buffer,
                                                          int32_t bufferSize) {
    return OnSequence(seq, [&](kalvex::CSequenceReader &r) {
        return bufferSize < kTemperatureBytes ? KALVEX_SEQ_E_ARGUMENT
                                              : r.ReadTemperatures(index, scene, buffer);
    });
}

KALVEX_API int32_t KALVEX_CALL KalvexSeq_Colorize(int32_t seq, int32_t index,
                                                  const KalvexScene *scene,
                                                  const KalvexColorOptions *options,
                                                  uint8_t *buffer, int32_t size,
                                                  KalvexColorBar *bar) {
    return OnSequence(seq, [&](kalvex::CSequenceReader &r) -> int32_t {
        namespace m = kalvex::measure;
        KalvexColorOptions defaults;
        KalvexMeasure_DefaultColorOptions(&defaults);
        m::ColourOptions o;
        if (!kalvex::api::ToOptions(options != nullptr ? *options : defaults, o) ||
            buffer == nullptr || size < kColourBytes)
            return KALVEX_SEQ_E_ARGUMENT;
        std::shared_ptr<const kalvex::CThermoTableState> table;
        if (!r.Table().empty() || o.isothermCount > 0) {
            const int prepared = r.PrepareTable(index, scene, &table);
            if (prepared != 1) return prepared;
        } else {
            // Colours need no temperatures: the bar's ends read -999.
            table = std::make_shared<const kalvex::CThermoTableState>();
        }
        std::vector<uint16_t> raw(static_cast<size_t>(kWidth) * kHeight);
        const int read = r.ReadRaw(index, raw.data());
        if (read != 1) return read;
        // Each frame on its own: no earlier mapping to damp with, and the
        // range an automatic colour range would take from this frame.
        o.damping = 0;
        int32_t low = 0, high = 0;
        kalvex::AutoRangeOf(raw.data(), kWidth * 2, kWidth, kHeight, &low, &high);
        kalvex::HueTable hue{};
        kalvex::BuildHueTable(hue);
        m::ColourResult result;
        m::ColourFrame({raw.data(), kWidth, kHeight}, *table, hue, low, high, false, o, nullptr,
                       buffer, result);
        if (bar != nullptr) kalvex::api::FillColorBar(result, *table, bar);
        return 1;
    });
}

KALVEX_API int32_t KALVEX_CALL KalvexSeq_GetTable(int32_t seq, void *buffer, int32_t bufferSize) {
    return OnSequence(seq, [&](kalvex::CSequenceReader &r) {
        const auto size = static_cast<int32_t>(r.Table().size());
        if (buffer != nullptr && bufferSize >= size && size > 0)
            std::memcpy(buffer, r.Table().data(), static_cast<size_t>(size));
        return size;
    });
}

KALVEX_API int32_t KALVEX_CALL KalvexSeq_GetScene(int32_t seq, KalvexScene *scene) {
    return OnSequence(seq, [&](kalvex::CSequenceReader &r) {
        if (scene == nullptr) return KALVEX_SEQ_E_ARGUMENT;
        *scene = r.Scene();
        return 1;
    });
}

KALVEX_API int32_t KALVEX_CALL KalvexSeq_Close(int32_t seq) {
    try {
        std::shared_ptr<OpenSequence> open;
        {
            std::lock_guard guard(gLock);
            const auto it = gOpen.find(seq);
            if (it == gOpen.end()) return KALVEX_SEQ_E_HANDLE;
            open = std::move(it->second);
            gOpen.erase(it);
        }
        return 1;  // freed when the last call using it returns
    } catch (...) {
        return KALVEX_SEQ_E_HANDLE;
    }
}

}  // extern "C"
