#include "sim_radiometry.h"

#include <cmath>
#include <limits>

namespace kalvex::sim {

namespace {
// Planck's constant, the speed of light and Boltzmann's constant (SI).
constexpr double kH = 6.62607015e-34;
constexpr double kC = 299792458.0;
constexpr double kK = 1.380649e-23;
constexpr int kIntervals = 600;  // even

// Spectral radiance at wavelength (m) and temperature (K), W m^-2 sr^-1 m^-1.
double Planck(double metres, double kelvin) {
    const double l5 = std::pow(metres, 5.0);
    return 2.0 * kH * kC * kC / (l5 * std::expm1(kH * kC / (metres * kK * kelvin)));
}
}  // namespace

double BandRadiance(double celsius) {
    const double kelvin = celsius + 273.15;
    if (!(kelvin > 0.0)) return 0.0;
    const double a = kBandLow * 1e-6, b = kBandHigh * 1e-6;
    const double h = (b - a) / kIntervals;
    double sum = Planck(a, kelvin) + Planck(b, kelvin);
    for (int i = 1; i < kIntervals; ++i) sum += (i % 2 ? 4.0 : 2.0) * Planck(a + i * h, kelvin);
    return sum * h / 3.0;
}

double BlackBodyTemperature(double radiance) {
    double low = -273.0, high = 5000.0;
    if (!(radiance >= BandRadiance(low) && radiance <= BandRadiance(high)))
        return std::numeric_limits<double>::quiet_NaN();
    for (int i = 0; i < 64 && high - low > 1e-10; ++i) {
        const double mid = 0.5 * (low + high);
        (BandRadiance(mid) < radiance ? low : high) = mid;
    }
    return 0.5 * (low + high);
}

double ApparentTemperature(double celsius, double emissivity, const Radiometry &r) {
    if (emissivity == 1.0 && r.transmission == 1.0) return celsius;
    const double object =
        emissivity * BandRadiance(celsius) + (1.0 - emissivity) * BandRadiance(r.reflected);
    return BlackBodyTemperature(r.transmission * object +
                                (1.0 - r.transmission) * BandRadiance(r.path));
}

}  // namespace kalvex::sim
