// The numeric parameter interface: ids 1 to 18 name instance settings, any
// other id is a camera register.
#include "kalvex.h"
#include "thermal/kalvex_instance.h"

namespace kalvex {

// ---- Parameters ------------------------------------------------------------------------------

int CKalvex::GetParam(int id) {
    switch (id) {
        case KALVEX_PARAM_WIDTH:
            return frameWidth_;
        case KALVEX_PARAM_HEIGHT:
            return frameHeight_;
        case KALVEX_PARAM_FRAME_RATE:
            return frameRate_.load();
        case KALVEX_PARAM_RECORD_KIND:
            return recordKind_.load();
        case KALVEX_PARAM_PREVIEWING:
            return mode_.load() == 1 ? 1 : 0;
        case KALVEX_PARAM_PAUSE:
            return pause_.load();
        case KALVEX_PARAM_RECORDING:
            return recordStart_.load() != 0 ? 1 : 0;
        case KALVEX_PARAM_RING_LENGTH:
            return ringLength_.load();
        case KALVEX_PARAM_FRAME_INTERVAL:
            return static_cast<int>(frameInterval_.load());
        case KALVEX_PARAM_NUC_HOLD:
            return static_cast<int>(nucHoldTime_.load());
        case KALVEX_PARAM_SPLIT_LIMIT:
            return splitLimit_.load();
        case KALVEX_PARAM_AUTO_RANGE:
            return range_.autoRangeCounter.load();
        case KALVEX_PARAM_RANGE_LOW:
            return range_.low.load();
        case KALVEX_PARAM_RANGE_HIGH:
            return range_.high.load();
        case KALVEX_PARAM_AUTO_NUC:
            return autoNuc_.load();
        case KALVEX_PARAM_RESERVED:
            return reserved_.load();
        case KALVEX_PARAM_ROW_ORDER:
            return rowOrder_.load();
        case KALVEX_PARAM_OUTPUT_ROW_ORDER:
            return outputRowOrder_.load();
        default: {
            int value = 0;
            device_.ReadRegister(id & 0xFF, &value);
            return value;
        }
    }
}

int CKalvex::SetParam(int id, int value) {
    switch (id) {
        case KALVEX_PARAM_RING_LENGTH:
            if (std::lock_guard ring(ringLock_); !ring_.empty()) {
                ReportError(KALVEX_EV_INVALID_ARGUMENT);
                return 0;
            }
            ringLength_.store(value);
            return 1;
        case KALVEX_PARAM_FRAME_INTERVAL:
            frameInterval_.store(static_cast<uint32_t>(value));
            return 1;
        case KALVEX_PARAM_NUC_HOLD:
            nucHoldTime_.store(static_cast<uint32_t>(value));
            return 1;
        case KALVEX_PARAM_SPLIT_LIMIT:
            splitLimit_.store(value);
            return 1;
        case KALVEX_PARAM_AUTO_RANGE:
            range_.autoRangeCounter.store(value);
            return 1;
        case KALVEX_PARAM_RANGE_LOW:
            range_.low.store(value);
            return 1;
        case KALVEX_PARAM_RANGE_HIGH:
            range_.high.store(value);
            return 1;
        case KALVEX_PARAM_ROW_ORDER:
            rowOrder_.store(value);
            return 1;
        case KALVEX_PARAM_OUTPUT_ROW_ORDER:
            outputRowOrder_.store(value);
            return 1;
        case KALVEX_PARAM_AUTO_NUC:
            autoNuc_.store(value != 0 ? 1 : 0);
            return 1;
        case KALVEX_PARAM_RESERVED:
            ReportError(KALVEX_EV_NOT_SUPPORTED);
            return 0;
        default:
            return device_.WriteRegister(id & 0xFF, value & 0xFF);
    }
}

}  // namespace kalvex
