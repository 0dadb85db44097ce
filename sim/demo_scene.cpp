// The built-in demo scene: a room as an uncooled camera sees it. A person at
// a desk (warm face, cooler clothes), a hot mug of coffee on the desk, a
// radiator with warm fins under a window that is colder than the wall. Drawn
// from shapes with soft edges and smooth gradients, then blurred a little as
// a camera's optics blur, all in plain arithmetic so that every call gives
// the same image. The layout is listed in kalvex_sim.h (KalvexSim_SetDemoScene).
#include <algorithm>
#include <cmath>

#include "sim_scene_image.h"

namespace kalvex::sim {

namespace {

constexpr double kPi = 3.14159265358979323846;

double Smoothstep(double edge0, double edge1, double x) {
    const double t = std::clamp((x - edge0) / (edge1 - edge0), 0.0, 1.0);
    return t * t * (3.0 - 2.0 * t);
}

// How much of a pixel a shape covers, from its signed distance (negative
// inside), with an edge soft over about 2 * soft pixels.
double Cover(double distance, double soft) {
    return 1.0 - Smoothstep(-soft, soft, distance);
}

double Box(double x, double y, double x0, double y0, double x1, double y1, double round = 0.0) {
    const double cx = 0.5 * (x0 + x1), cy = 0.5 * (y0 + y1);
    const double qx = std::abs(x - cx) - (0.5 * (x1 - x0) - round);
    const double qy = std::abs(y - cy) - (0.5 * (y1 - y0) - round);
    const double outside = std::hypot(std::max(qx, 0.0), std::max(qy, 0.0));
    return outside + std::min(std::max(qx, qy), 0.0) - round;
}

// An approximate distance to an ellipse: exact on the axes, good enough for
// soft edges.
double Ellipse(double x, double y, double cx, double cy, double rx, double ry) {
    const double k = std::hypot((x - cx) / rx, (y - cy) / ry);
    return (k - 1.0) * std::min(rx, ry);
}

// Distance to the segment (ax, ay)-(bx, by), less the radius: a limb.
double Capsule(double x, double y, double ax, double ay, double bx, double by, double radius) {
    const double px = x - ax, py = y - ay, dx = bx - ax, dy = by - ay;
    const double t = std::clamp((px * dx + py * dy) / (dx * dx + dy * dy), 0.0, 1.0);
    return std::hypot(px - t * dx, py - t * dy) - radius;
}

// Smooth value noise in -1..1 with features of about `scale` pixels: the
// unevenness of walls and cloth. A hash of the lattice, no random state.
double Lattice(int i, int j) {
    uint32_t h = static_cast<uint32_t>(i) * 374761393u + static_cast<uint32_t>(j) * 668265263u;
    h = (h ^ (h >> 13)) * 1274126177u;
    h ^= h >> 16;
    return static_cast<double>(h & 0xFFFF) / 32767.5 - 1.0;
}

double Noise(double x, double y, double scale) {
    const double u = x / scale, v = y / scale;
    const int i = static_cast<int>(std::floor(u)), j = static_cast<int>(std::floor(v));
    const double fu = Smoothstep(0.0, 1.0, u - i), fv = Smoothstep(0.0, 1.0, v - j);
    const double top = Lattice(i, j) + fu * (Lattice(i + 1, j) - Lattice(i, j));
    const double bottom = Lattice(i, j + 1) + fu * (Lattice(i + 1, j + 1) - Lattice(i, j + 1));
    return top + fv * (bottom - top);
}

void Paint(double &t, double value, double cover) {
    t += (value - t) * cover;
}

double Room(double x, double y) {
    // Wall: a little warmer under the ceiling, uneven by a tenth of a degree
    // or two; skirting and floor cooler.
    double t =
        20.6 + 0.8 * (1.0 - y / kImageHeight) + 0.15 * Noise(x, y, 90.0) + 0.05 * Noise(x, y, 23.0);
    Paint(t, 19.4 + 0.1 * Noise(x, y, 40.0), Smoothstep(436.0, 442.0, y));

    // Warm air rising from the radiator along the wall.
    const double plumeWidth = Cover(Box(x, y, 60.0, 0.0, 230.0, 480.0), 25.0);
    t += 3.0 * plumeWidth * std::exp(-(300.0 - y) / 70.0) * (y < 300.0 ? 1.0 : 0.0);

    // Window: the wall around it cooled by the frame (a thermal bridge), the
    // frame, then glass that is coldest at the bottom, split by a mullion.
    const double frame = Box(x, y, 40.0, 40.0, 250.0, 250.0, 3.0);
    t -= 1.2 * std::exp(-std::max(frame, 0.0) / 12.0) * Cover(-frame, 1.0);
    Paint(t, 16.8 - 0.8 * (y - 40.0) / 210.0, Cover(frame, 1.2));
    double glass = 13.6 - 3.0 * Smoothstep(60.0, 240.0, y) + 0.3 * Noise(x, y, 60.0);
    const double pane = std::min(Box(x, y, 52.0, 52.0, 139.0, 238.0, 2.0),
                                 Box(x, y, 151.0, 52.0, 238.0, 238.0, 2.0));
    Paint(t, glass, Cover(pane, 1.2));

    // Radiator under the window: vertical fins (hot) with darker gaps between
    // them, hottest at the top where the water comes in; a cover strip on top
    // and the feed pipe to the floor.
    const double body = Box(x, y, 50.0, 300.0, 240.0, 410.0, 4.0);
    const double phase = std::cos(2.0 * kPi * (x - 50.0) / 14.0);
    const double fin = std::pow(0.5 + 0.5 * phase, 0.6);
    const double top = 50.0 - 5.0 * Smoothstep(305.0, 410.0, y);
    const double gaps = 37.0 - 3.0 * Smoothstep(305.0, 410.0, y);
    Paint(t, gaps + (top - gaps) * fin, Cover(body, 1.5));
    Paint(t, 47.5, Cover(Box(x, y, 46.0, 296.0, 244.0, 306.0, 2.0), 1.2));
    Paint(t, 51.0 - 2.0 * Smoothstep(410.0, 480.0, y),
          Cover(Box(x, y, 226.0, 408.0, 236.0, 490.0, 3.0), 1.2));
    return t;
}

double Person(double x, double y, double t) {
    // Clothes: a sweater a few degrees under the skin, warmest over the chest,
    // cooler where it hangs loose, with folds.
    const double torso = std::min(Box(x, y, 330.0, 222.0, 512.0, 520.0, 38.0),
                                  Box(x, y, 320.0, 300.0, 522.0, 520.0, 20.0));
    double cloth = 28.7 + 0.9 * std::exp(-std::pow((x - 421.0) / 60.0, 2.0)) -
                   0.6 * Smoothstep(330.0, 420.0, y) +
                   0.35 * std::sin((x - 330.0) / 11.0) * Smoothstep(300.0, 340.0, y) *
                       (0.5 + 0.5 * Noise(x, y, 30.0));
    const double arms = std::min(Capsule(x, y, 338.0, 250.0, 300.0, 390.0, 24.0),
                                 Capsule(x, y, 505.0, 250.0, 540.0, 370.0, 24.0));
    const double forearm = Capsule(x, y, 540.0, 370.0, 552.0, 392.0, 20.0);
    Paint(t, 28.3 + 0.2 * Noise(x, y, 20.0), Cover(std::min(arms, forearm), 1.5));
    Paint(t, cloth, Cover(torso, 1.5));
    // Collar, neck.
    Paint(t, 34.6, Cover(Box(x, y, 402.0, 182.0, 440.0, 232.0, 10.0), 1.5));
    Paint(t, 30.0, Cover(Ellipse(x, y, 421.0, 226.0, 34.0, 8.0), 1.5));

    // Head: the face warm (the inner corners of the eyes warmest), nose and
    // ears cooler, hair insulating the top of the head.
    const double head = Ellipse(x, y, 421.0, 140.0, 46.0, 58.0);
    const double ears =
        std::min(Ellipse(x, y, 374.0, 145.0, 8.0, 15.0), Ellipse(x, y, 468.0, 145.0, 8.0, 15.0));
    Paint(t, 33.2, Cover(ears, 1.2));
    double face = 35.0 - 0.6 * Smoothstep(150.0, 196.0, y) -
                  0.5 * Smoothstep(28.0, 46.0, std::abs(x - 421.0));
    face += 0.9 * std::exp(-(std::pow(x - 408.0, 2.0) + std::pow(y - 132.0, 2.0)) / 30.0);
    face += 0.9 * std::exp(-(std::pow(x - 434.0, 2.0) + std::pow(y - 132.0, 2.0)) / 30.0);
    face -= 1.4 * std::exp(-(std::pow((x - 421.0) / 6.0, 2.0) + std::pow((y - 152.0) / 9.0, 2.0)));
    Paint(t, face, Cover(head, 1.3));
    // Hair: the head above a hairline that comes down at the temples.
    const double hairline = 98.0 + 0.012 * (x - 421.0) * (x - 421.0);
    const double hair = std::max(head, y - hairline);
    Paint(t, 28.8 + 0.4 * Noise(x, y, 9.0), Cover(hair, 1.5));
    return t;
}

double Desk(double x, double y, double t) {
    // The desk top in front of the person, slightly warmed under the forearm
    // and hand, with a cooler front edge; the hand on it.
    const double top = Box(x, y, 262.0, 400.0, 700.0, 500.0, 2.0);
    double wood = 22.6 + 0.15 * Noise(x, y, 50.0) - 0.8 * Smoothstep(455.0, 470.0, y);
    wood +=
        1.8 * std::exp(-(std::pow((x - 556.0) / 30.0, 2.0) + std::pow((y - 410.0) / 10.0, 2.0)));
    Paint(t, wood, Cover(top, 1.2));
    Paint(t, 33.4 - 0.8 * Smoothstep(395.0, 420.0, y),
          Cover(Ellipse(x, y, 552.0, 404.0, 17.0, 11.0), 1.3));
    Paint(t, 33.0, Cover(Ellipse(x, y, 300.0, 404.0, 17.0, 11.0), 1.3));
    return t;
}

double Mug(double x, double y, double t) {
    // The handle: warm, the coffee heats it through the ceramic. Then the
    // body, hottest near the coffee's surface and cooler towards its sides
    // (seen at a slant), the surface itself hottest, and a faint plume of
    // steam above.
    const double ring = std::abs(std::hypot(x - 620.0, y - 362.0) - 12.5) - 4.0;
    Paint(t, 48.0 - 2.0 * Smoothstep(612.0, 634.0, x), Cover(ring, 1.2));
    const double body = Box(x, y, 572.0, 330.0, 618.0, 402.0, 5.0);
    const double side = Smoothstep(12.0, 23.0, std::abs(x - 595.0));
    const double ceramic = 67.0 - 4.0 * Smoothstep(336.0, 402.0, y) - 3.0 * side;
    Paint(t, ceramic, Cover(body, 1.3));
    Paint(t, 69.0, Cover(Ellipse(x, y, 595.0, 333.0, 21.0, 5.0), 1.2));
    const double steam =
        std::exp(-std::pow(
            (x - 595.0 - 6.0 * std::sin((330.0 - y) / 18.0)) / (10.0 + 0.15 * (330.0 - y)), 2.0)) *
        std::exp(-(330.0 - y) / 45.0) * (y < 329.0 ? 1.0 : 0.0);
    t += 2.5 * steam;
    return t;
}

// A Gaussian blur of sigma 1.2 pixels, rows then columns, edges clamped: the
// optics of a small uncooled camera.
void Blur(std::vector<float> &image) {
    constexpr int kRadius = 3;
    double weights[2 * kRadius + 1];
    double sum = 0.0;
    for (int k = -kRadius; k <= kRadius; ++k)
        sum += weights[k + kRadius] = std::exp(-0.5 * k * k / (1.2 * 1.2));
    for (double &w : weights) w /= sum;
    std::vector<float> pass(image.size());
    auto at = [](int x, int y) {
        return static_cast<size_t>(std::clamp(y, 0, kImageHeight - 1)) * kImageWidth +
               static_cast<size_t>(std::clamp(x, 0, kImageWidth - 1));
    };
    for (int y = 0; y < kImageHeight; ++y)
        for (int x = 0; x < kImageWidth; ++x) {
            double v = 0.0;
            for (int k = -kRadius; k <= kRadius; ++k)
                v += weights[k + kRadius] * image[at(x + k, y)];
            pass[at(x, y)] = static_cast<float>(v);
        }
    for (int y = 0; y < kImageHeight; ++y)
        for (int x = 0; x < kImageWidth; ++x) {
            double v = 0.0;
            for (int k = -kRadius; k <= kRadius; ++k)
                v += weights[k + kRadius] * pass[at(x, y + k)];
            image[at(x, y)] = static_cast<float>(v);
        }
}

std::shared_ptr<const SceneImage> Draw() {
    auto image = std::make_shared<SceneImage>();
    image->celsius.resize(kImagePixels);
    for (int y = 0; y < kImageHeight; ++y)
        for (int x = 0; x < kImageWidth; ++x) {
            // Pixel centres.
            const double px = x + 0.5, py = y + 0.5;
            double t = Room(px, py);
            t = Person(px, py, t);
            t = Desk(px, py, t);
            t = Mug(px, py, t);
            image->celsius[static_cast<size_t>(y) * kImageWidth + x] = static_cast<float>(t);
        }
    Blur(image->celsius);
    return image;
}

}  // namespace

std::shared_ptr<const SceneImage> DemoScene() {
    static const std::shared_ptr<const SceneImage> scene = Draw();
    return scene;
}

}  // namespace kalvex::sim
