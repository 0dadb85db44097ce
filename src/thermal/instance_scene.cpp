// CKalvex: the scene that turns black-body temperatures into object
// temperatures. The table folds it into every lookup it publishes, so the
// capture thread never sees half a change.
#include <cmath>
#include <new>

#include "thermal/kalvex_instance.h"

namespace kalvex {

namespace {
// The model for a scene and map; null when nothing is to be compensated.
std::shared_ptr<const SceneModel> ModelFor(const KalvexScene &scene,
                                           const std::shared_ptr<const EmissivityMap> &map) {
    if (!map && SceneIsIdentity(scene)) return nullptr;
    return std::make_shared<const SceneModel>(scene);
}
}  // namespace

int CKalvex::SetScene(const KalvexScene *scene) {
    const KalvexScene next = scene != nullptr ? *scene : DefaultScene();
    if (!SceneValid(next)) {
        ReportError(KALVEX_EV_INVALID_ARGUMENT);
        return 0;
    }
    try {
        MutexLock guard(sceneLock_);
        if (table_.SetScene(ModelFor(next, emissivityMap_), emissivityMap_) == 0) {
            ReportError(KALVEX_EV_NO_MEMORY);
            return 0;
        }
        scene_ = next;
        MutexLock stamp(stampSceneLock_);
        stampScene_ = next;
        return 1;
    } catch (const std::bad_alloc &) {
        ReportError(KALVEX_EV_NO_MEMORY);
        return 0;
    }
}

int CKalvex::GetScene(KalvexScene *scene) {
    if (scene == nullptr) {
        ReportError(KALVEX_EV_INVALID_ARGUMENT);
        return 0;
    }
    MutexLock guard(sceneLock_);
    *scene = scene_;
    return 1;
}

int CKalvex::SetEmissivityMap(const float *map, int32_t count) {
    std::shared_ptr<const EmissivityMap> next;
    if (map != nullptr) {
        bool valid = count == EmissivityMap::kWidth * EmissivityMap::kHeight;
        for (int32_t i = 0; valid && i < count; ++i) valid = !std::isnan(map[i]);
        if (!valid) {
            ReportError(KALVEX_EV_INVALID_ARGUMENT);
            return 0;
        }
    }
    try {
        if (map != nullptr) next = EmissivityMap::FromOutputRows(map, params_.rowOrder.load() != 0);
        MutexLock guard(sceneLock_);
        if (table_.SetScene(ModelFor(scene_, next), next) == 0) {
            ReportError(KALVEX_EV_NO_MEMORY);
            return 0;
        }
        emissivityMap_ = std::move(next);
        return 1;
    } catch (const std::bad_alloc &) {
        ReportError(KALVEX_EV_NO_MEMORY);
        return 0;
    }
}

}  // namespace kalvex
