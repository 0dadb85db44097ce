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
            return params_.frameRate.load();
        case KALVEX_PARAM_RECORD_KIND:
            return recording_.RequestedKind();
        case KALVEX_PARAM_PREVIEWING:
            return Previewing() ? 1 : 0;
        case KALVEX_PARAM_PAUSE:
            return params_.pause.load();
        case KALVEX_PARAM_RECORDING:
            return recording_.Recording() ? 1 : 0;
        case KALVEX_PARAM_RING_LENGTH:
            return params_.ringLength.load();
        case KALVEX_PARAM_FRAME_INTERVAL:
            return static_cast<int>(params_.frameInterval.load());
        case KALVEX_PARAM_NUC_HOLD:
            return static_cast<int>(params_.nucHoldTime.load());
        case KALVEX_PARAM_SPLIT_LIMIT:
            return params_.splitLimit.load();
        case KALVEX_PARAM_AUTO_RANGE:
            return range_.autoRangeCounter.load();
        case KALVEX_PARAM_RANGE_LOW:
            return range_.low.load();
        case KALVEX_PARAM_RANGE_HIGH:
            return range_.high.load();
        case KALVEX_PARAM_AUTO_NUC:
            return params_.autoNuc.load();
        case KALVEX_PARAM_RESERVED:
            return params_.reserved.load();
        case KALVEX_PARAM_ROW_ORDER:
            return params_.rowOrder.load();
        case KALVEX_PARAM_OUTPUT_ROW_ORDER:
            return params_.outputRowOrder.load();
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
            if (!ring_.Empty()) {
                ReportError(KALVEX_EV_INVALID_ARGUMENT);
                return 0;
            }
            params_.ringLength.store(value);
            return 1;
        case KALVEX_PARAM_FRAME_INTERVAL:
            params_.frameInterval.store(static_cast<uint32_t>(value));
            return 1;
        case KALVEX_PARAM_NUC_HOLD:
            params_.nucHoldTime.store(static_cast<uint32_t>(value));
            return 1;
        case KALVEX_PARAM_SPLIT_LIMIT:
            params_.splitLimit.store(value);
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
            params_.rowOrder.store(value);
            return 1;
        case KALVEX_PARAM_OUTPUT_ROW_ORDER:
            params_.outputRowOrder.store(value);
            return 1;
        case KALVEX_PARAM_AUTO_NUC:
            params_.autoNuc.store(value != 0 ? 1 : 0);
            return 1;
        case KALVEX_PARAM_RESERVED:
            ReportError(KALVEX_EV_NOT_SUPPORTED);
            return 0;
        default:
            return device_.WriteRegister(id & 0xFF, value & 0xFF);
    }
}

}  // namespace kalvex
