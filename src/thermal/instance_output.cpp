// CKalvex: still images of the newest frame, and the recording operations,
// which the recording control carries out.
#include "kalvex_sequence.h"
#include "output/still_image.h"
#include "thermal/kalvex_instance.h"

namespace kalvex {

namespace {
// Save types: the colour image in the still formats, the raw image in three of
// them, and temperature arrays.
constexpr int kSaveFirstColour = 0;  // .. kStillTiff: format = type
constexpr int kSaveLastColour = 6;
constexpr int kSaveFirstRaw = 7;  // raw, PNG, TIFF of the raw image
constexpr int kSaveLastRaw = 9;
constexpr int kSaveTemperatureLookup = 13;  // 10-12 interpolate, 13 looks up
constexpr int kSaveLastType = kSaveTemperatureLookup;
static_assert(kSaveLastColour == kStillTiff);
}  // namespace

// ---- Still images --------------------------------------------------------------------

int CKalvex::Save(const wchar_t *fileName, int type) {
    // The frame stays whole and allocated while it is written out.
    return ring_.ReadNewest([&](const RingSlot *slot) {
        if (slot == nullptr || slot->raw.Empty() || slot->colour.Empty()) {
            ReportError(KALVEX_EV_NO_FRAME);
            return 0;
        }
        if (type < kSaveFirstColour || type > kSaveLastType) {
            ReportError(KALVEX_EV_INVALID_ARGUMENT);
            return 0;
        }
        const CDibImage &raw = slot->raw;
        const CDibImage &colour = slot->colour;
        const bool flag = params_.outputRowOrder.load() != 0;
        int result = 0;
        if (fileName != nullptr) {
            if (type <= kSaveLastColour) {
                result = flag ? SaveFlipped(fileName, &colour, type)
                              : SaveImageFile(fileName, &colour, type);
            } else if (type <= kSaveLastRaw) {
                static constexpr int kRawFormat[kSaveLastRaw - kSaveFirstRaw + 1] = {
                    kStillRaw, kStillPng, kStillTiff};
                const int format = kRawFormat[type - kSaveFirstRaw];
                result = flag ? SaveImageFile(fileName, &raw, format)
                              : SaveFlipped(fileName, &raw, format);
            } else {
                // The interpolating types read from the last buffer row unless
                // the flag is set; the lookup type the reverse.
                const bool fromLastRow = type == kSaveTemperatureLookup ? flag : !flag;
                const std::shared_ptr<const CThermoTableState> table = table_.State();
                result = SaveTemperatureFile(fileName, raw, type, *table, fromLastRow);
            }
        }
        if (result == 0) {
            ReportError(KALVEX_EV_FILE);
            return 0;
        }
        return 1;
    });
}

// ---- Recording -------------------------------------------------------------------------

int CKalvex::RequestRecording(const wchar_t *name, int kind) {
    StateGuard state(*this);
    return recording_.Request(name, kind);
}

int CKalvex::RequestSequence(const wchar_t *name, int32_t options) {
    StateGuard state(*this);
    if (options != KALVEX_SEQ_DEFLATE && options != KALVEX_SEQ_UNCOMPRESSED) {
        ReportError(KALVEX_EV_INVALID_ARGUMENT);
        return 0;
    }
    return recording_.RequestSequence(name, options == KALVEX_SEQ_DEFLATE);
}

int CKalvex::StartRecording(int kind, const wchar_t *name) {
    return recording_.Start(kind, name);
}

int CKalvex::WriteRecordingFrame(int kind) {
    return recording_.WriteFrame(kind);
}

int CKalvex::StopRecording(int kind) {
    return recording_.Stop(kind);
}

}  // namespace kalvex
