// In-band black-body radiance and the scene model that turns a black-body
// temperature into an object temperature.
//
// Everything works on radiance, never on T^4: over a 8-14 um band the fourth
// power misses by several kelvin at a few hundred degrees.
#pragma once

#include <array>
#include <cstdint>

#include "kalvex_scene.h"

namespace kalvex {

// The radiance table spans these temperatures in 1 K steps.
inline constexpr double kRadianceLowCelsius = -60.0;
inline constexpr double kRadianceHighCelsius = 2100.0;
inline constexpr int kRadianceEntries = 2161;
inline constexpr double kKelvinOffset = 273.15;
// Band limits the model accepts, micrometres.
inline constexpr double kBandMin = 0.5;
inline constexpr double kBandMax = 100.0;

// W(T) over [lowUm, highUm] in W m^-2 sr^-1 from the series
//   int_x^inf t^3/(e^t - 1) dt = sum_n e^(-n x) (x^3/n + 3x^2/n^2 + 6x/n^3 + 6/n^4),
// x = c2 / (lambda T), summed to n = min(2 + 20/x, 512).
double BandRadianceSeries(double kelvin, double lowUm, double highUm);

// ln W at -60 to 2100 degrees C in 1 K steps, linear in between.
class RadianceTable {
  public:
    RadianceTable(double lowUm, double highUm);

    // ln W(celsius); NaN outside the table.
    double LogRadiance(double celsius) const;
    // The temperature whose ln W is logW; NaN outside the table.
    double Temperature(double logW) const;
    const std::array<double, kRadianceEntries> &Logs() const { return log_; }

  private:
    std::array<double, kRadianceEntries> log_{};
};

// The scene's checks: false for NaN, a band outside 0.5-100 um or low >= high,
// humidity outside 0..1, a negative distance, reflected or atmosphere
// temperatures outside the radiance table.
bool SceneValid(const KalvexScene &scene);
// Defaults: emissivity 1, 22 degrees reflected and path, transmission 1,
// distance 0, humidity 0.5, band 8-14 um.
KalvexScene DefaultScene();
// Clamped to [0.01, 1] (emissivity and transmission alike).
double ClampFraction(double value);
// The transmission used: given, or from the two-band atmospheric model; the
// scene must be valid.
double EffectiveTransmission(const KalvexScene &scene);
// Whether the scene leaves every black-body temperature as it is (emissivity
// and transmission both 1 after clamping).
bool SceneIsIdentity(const KalvexScene &scene);

// One scene, ready to compensate. The compensation of a black-body
// temperature T_bb at emissivity e is
//   B      = (W(T_bb) - tau W(T_refl) - (1 - tau) W(T_atm)) / tau
//   W_obj  = B / e + W(T_refl)
//   T_obj  = W^-1(W_obj)
// (the usual [W(T_bb) - tau (1-e) W(T_refl) - (1-tau) W(T_atm)] / (tau e),
// arranged so that B depends on the raw value alone). Every path that
// compensates goes through Offset and FromOffset, so that folded lookups and
// per-pixel work agree to the bit.
class SceneModel {
  public:
    // scene must be valid.
    explicit SceneModel(const KalvexScene &scene);

    const KalvexScene &Scene() const { return scene_; }
    double Transmission() const { return tau_; }
    double Emissivity() const { return emissivity_; }
    const RadianceTable &Table() const { return table_; }

    // True when compensation at this (clamped) emissivity changes nothing.
    bool Identity(double emissivity) const { return emissivity == 1.0 && tau_ == 1.0; }
    // B of a black-body temperature; NaN for -999.0, NaN or temperatures
    // outside the table.
    double Offset(float blackBody) const;
    // The object temperature of B at a clamped emissivity; -999.0 when there
    // is none.
    float FromOffset(double offset, double emissivity) const;
    // Both, for one temperature; emissivity is clamped here. -999.0 stays.
    float Compensate(float blackBody, double emissivity) const;

  private:
    KalvexScene scene_;
    RadianceTable table_;
    double tau_;
    double emissivity_;
    double reflected_;   // W(T_refl)
    double atmosphere_;  // W(T_atm)
};

}  // namespace kalvex
