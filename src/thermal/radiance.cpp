#include "thermal/radiance.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "thermal/thermo_table.h"

namespace kalvex {

namespace {

// Second radiation constant (um K) and first radiation constant for radiance
// (2 h c^2, W um^4 m^-2 sr^-1).
constexpr double kC2 = 14387.76877;
constexpr double kC1 = 1.191042972e8;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// int_x^inf t^3 / (e^t - 1) dt.
double PlanckTail(double x) {
    const int terms = static_cast<int>(std::min(2.0 + 20.0 / x, 512.0));
    const double step = std::exp(-x);
    double power = 1.0, sum = 0.0;
    const double x2 = x * x, x3 = x2 * x;
    for (int n = 1; n <= terms; ++n) {
        power *= step;
        const double inv = 1.0 / n;  // x^3/n + 3x^2/n^2 + 6x/n^3 + 6/n^4, nested
        sum += power * inv * (x3 + inv * (3.0 * x2 + inv * (6.0 * x + 6.0 * inv)));
    }
    return sum;
}

bool Finite(float v) {
    return std::isfinite(v);
}

bool InTable(double celsius) {
    return celsius >= kRadianceLowCelsius && celsius <= kRadianceHighCelsius;
}

}  // namespace

double BandRadianceSeries(double kelvin, double lowUm, double highUm) {
    const double scale = kelvin / kC2;
    // From lambda to infinity is x from 0 up: the band is the tail at the long
    // wavelength's x minus the tail at the short one's.
    return kC1 * scale * scale * scale * scale *
           (PlanckTail(kC2 / (highUm * kelvin)) - PlanckTail(kC2 / (lowUm * kelvin)));
}

RadianceTable::RadianceTable(double lowUm, double highUm) {
    for (int k = 0; k < kRadianceEntries; ++k) {
        log_[static_cast<size_t>(k)] =
            std::log(BandRadianceSeries(kRadianceLowCelsius + k + kKelvinOffset, lowUm, highUm));
    }
}

double RadianceTable::LogRadiance(double celsius) const {
    if (!InTable(celsius)) return kNaN;
    const double u = celsius - kRadianceLowCelsius;
    const int k = std::min(static_cast<int>(u), kRadianceEntries - 2);
    const double f = u - k;
    const double a = log_[static_cast<size_t>(k)], b = log_[static_cast<size_t>(k) + 1];
    return a + f * (b - a);
}

double RadianceTable::Temperature(double logW) const {
    if (!(logW >= log_.front() && logW <= log_.back())) return kNaN;
    // The last entry not above logW, kept one short of the end.
    auto it = std::upper_bound(log_.begin(), log_.end(), logW);
    const int k = std::min(static_cast<int>(it - log_.begin()) - 1, kRadianceEntries - 2);
    const double a = log_[static_cast<size_t>(k)], b = log_[static_cast<size_t>(k) + 1];
    return kRadianceLowCelsius + k + (logW - a) / (b - a);
}

KalvexScene DefaultScene() {
    return KalvexScene{1.0f, 22.0f, 1.0f, 22.0f, 0.0f, 0.5f, 8.0f, 14.0f};
}

bool SceneValid(const KalvexScene &s) {
    for (float v : {s.emissivity, s.reflected, s.transmission, s.atmosphere, s.distance, s.humidity,
                    s.bandLow, s.bandHigh}) {
        if (!Finite(v)) return false;
    }
    if (!(s.bandLow >= kBandMin && s.bandLow < s.bandHigh && s.bandHigh <= kBandMax)) return false;
    if (s.humidity < 0.0f || s.humidity > 1.0f || s.distance < 0.0f) return false;
    return InTable(s.reflected) && InTable(s.atmosphere);
}

double ClampFraction(double value) {
    return std::clamp(value, 0.01, 1.0);
}

double EffectiveTransmission(const KalvexScene &s) {
    if (!(s.distance > 0.0f)) return ClampFraction(s.transmission);
    const double t = s.atmosphere;
    const double water = s.humidity * std::exp(1.5587 + 0.06939 * t - 0.00027816 * t * t +
                                               0.00000068455 * t * t * t);
    const double root = std::sqrt(water), d = std::sqrt(static_cast<double>(s.distance));
    const double tau =
        KALVEX_SCENE_ATM_X *
            std::exp(-d * (KALVEX_SCENE_ATM_ALPHA1 + KALVEX_SCENE_ATM_BETA1 * root)) +
        (1.0 - KALVEX_SCENE_ATM_X) *
            std::exp(-d * (KALVEX_SCENE_ATM_ALPHA2 + KALVEX_SCENE_ATM_BETA2 * root));
    return std::isfinite(tau) ? ClampFraction(tau) : 0.01;
}

bool SceneIsIdentity(const KalvexScene &s) {
    return ClampFraction(s.emissivity) == 1.0 && EffectiveTransmission(s) == 1.0;
}

SceneModel::SceneModel(const KalvexScene &scene)
    : scene_(scene),
      table_(scene.bandLow, scene.bandHigh),
      tau_(EffectiveTransmission(scene)),
      emissivity_(ClampFraction(scene.emissivity)),
      reflected_(std::exp(table_.LogRadiance(scene.reflected))),
      atmosphere_(std::exp(table_.LogRadiance(scene.atmosphere))) {}

double SceneModel::Offset(float blackBody) const {
    if (blackBody == kNoTemperature) return kNaN;
    const double log = table_.LogRadiance(blackBody);  // NaN outside the table
    return (std::exp(log) - tau_ * reflected_ - (1.0 - tau_) * atmosphere_) / tau_;
}

float SceneModel::FromOffset(double offset, double emissivity) const {
    const double radiance = offset / emissivity + reflected_;
    if (!(radiance > 0.0)) return kNoTemperature;  // NaN included
    const double celsius = table_.Temperature(std::log(radiance));
    return std::isnan(celsius) ? kNoTemperature : static_cast<float>(celsius);
}

float SceneModel::Compensate(float blackBody, double emissivity) const {
    emissivity = ClampFraction(emissivity);
    if (Identity(emissivity) || blackBody == kNoTemperature) return blackBody;
    return FromOffset(Offset(blackBody), emissivity);
}

}  // namespace kalvex
