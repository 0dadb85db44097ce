// The KalvexScene_ exports: scene compensation beside the 29 Kalvex_
// functions. No exception crosses this boundary.
#include <cmath>
#include <memory>
#include <new>

#include "api/dispatch.h"
#include "kalvex_scene.h"
#include "thermal/kalvex_instance.h"
#include "thermal/radiance.h"

using kalvex::CKalvex;

extern "C" {

KALVEX_API void KALVEX_CALL KalvexScene_Default(KalvexScene *scene) {
    if (scene != nullptr) *scene = kalvex::DefaultScene();
}

KALVEX_API int32_t KALVEX_CALL KalvexScene_Set(int32_t handle, const KalvexScene *scene) {
    return kalvex::Dispatch<int32_t>(handle, 0, [&](CKalvex &k) { return k.SetScene(scene); });
}

KALVEX_API int32_t KALVEX_CALL KalvexScene_Get(int32_t handle, KalvexScene *scene) {
    return kalvex::Dispatch<int32_t>(handle, 0, [&](CKalvex &k) { return k.GetScene(scene); });
}

KALVEX_API int32_t KALVEX_CALL KalvexScene_SetEmissivityMap(int32_t handle, const float *map,
                                                            int32_t count) {
    return kalvex::Dispatch<int32_t>(handle, 0,
                                     [&](CKalvex &k) { return k.SetEmissivityMap(map, count); });
}

KALVEX_API int32_t KALVEX_CALL KalvexScene_Compensate(const KalvexScene *scene,
                                                      const float *emissivity, const float *in,
                                                      float *out, int32_t count) {
    try {
        if (scene == nullptr || !kalvex::SceneValid(*scene) || count < 0) return 0;
        if (count == 0) return 1;
        if (in == nullptr || out == nullptr) return 0;
        if (emissivity != nullptr) {
            for (int32_t i = 0; i < count; ++i)
                if (std::isnan(emissivity[i])) return 0;
        }
        const kalvex::SceneModel model(*scene);
        for (int32_t i = 0; i < count; ++i) {
            const double e = emissivity != nullptr ? emissivity[i] : model.Emissivity();
            out[i] = model.Compensate(in[i], e);
        }
        return 1;
    } catch (...) {
        return 0;
    }
}

KALVEX_API float KALVEX_CALL KalvexScene_Transmission(const KalvexScene *scene) {
    if (scene == nullptr || !kalvex::SceneValid(*scene)) return -1.0f;
    return static_cast<float>(kalvex::EffectiveTransmission(*scene));
}

}  // extern "C"
