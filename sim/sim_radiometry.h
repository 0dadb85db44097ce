// The simulated camera's radiometry: what black-body temperature the sensor
// sees for an object of some emissivity, with a reflected surrounding and a
// path of some transmission. Written from Planck's law by direct numerical
// integration, independently of the library's own tables, so that tests
// through both check one against the other.
#pragma once

#include "kalvex_sim.h"

namespace kalvex::sim {

// Band of the simulated camera, micrometres.
constexpr double kBandLow = KALVEX_SIM_BAND_LOW;
constexpr double kBandHigh = KALVEX_SIM_BAND_HIGH;

// In-band radiance of a black body at celsius (W m^-2 sr^-1), Simpson's rule
// over the band.
double BandRadiance(double celsius);
// The black-body temperature whose band radiance is radiance (bisection);
// NaN when there is none in -273..5000 degrees.
double BlackBodyTemperature(double radiance);

struct Radiometry {
    double reflected = 22.0;    // apparent temperature of the surroundings, degrees C
    double transmission = 1.0;  // of the path between object and camera
    double path = 22.0;         // temperature of that path, degrees C
    bool operator==(const Radiometry &) const = default;
};

// tau (e W(T) + (1 - e) W(T_refl)) + (1 - tau) W(T_path), as a black-body
// temperature. Exactly celsius when e = 1 and tau = 1.
double ApparentTemperature(double celsius, double emissivity, const Radiometry &r);

}  // namespace kalvex::sim
