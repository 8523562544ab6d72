#include "render.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace bridge_sim {
namespace {

constexpr double kNear = 0.01;
const Vec3 kLight = normalized({0.4, -0.3, 0.85});

// --- the textured look ---

std::uint32_t hash(std::uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return static_cast<std::uint32_t>(x);
}

double lattice(long x, long y) {
  const auto key = (static_cast<std::uint64_t>(static_cast<std::uint32_t>(x)) << 32) | static_cast<std::uint32_t>(y);
  return hash(key) / 4294967295.0;
}

// Smooth value noise in [0, 1] over the plane, one lattice cell per unit.
double valueNoise(double x, double y) {
  const double fx = std::floor(x), fy = std::floor(y);
  const auto ix = static_cast<long>(fx), iy = static_cast<long>(fy);
  const double u = x - fx, v = y - fy;
  const double su = u * u * (3 - 2 * u), sv = v * v * (3 - 2 * v);
  const double top = lattice(ix, iy) + (lattice(ix + 1, iy) - lattice(ix, iy)) * su;
  const double bottom = lattice(ix, iy + 1) + (lattice(ix + 1, iy + 1) - lattice(ix, iy + 1)) * su;
  return top + (bottom - top) * sv;
}

// Surface grain around 1: coarse blotches and fine fibres. `footprint` is a pixel's size on the surface
// (metres): detail finer than a pixel fades out, as a renderer's mipmaps filter it, instead of aliasing into
// per-pixel noise.
double grain(double x, double y, double footprint) {
  const auto keep = [footprint](double frequency) { return std::clamp(1.5 - 2 * footprint * frequency, 0.0, 1.0); };
  return 1 + keep(3) * 0.35 * (valueNoise(x * 3, y * 3) - 0.5) + keep(23) * 0.25 * (valueNoise(x * 23, y * 11) - 0.5);
}

// The light of the textured look circles slowly with the scene's time.
Vec3 movingLight(double time) {
  const double azimuth = 0.6 + 0.25 * time;
  return normalized({0.5 * std::cos(azimuth), 0.5 * std::sin(azimuth), 0.8});
}

// Sensor noise for one pixel channel: a triangular distribution within +-5 levels (standard deviation 2),
// new every step.
double sensorNoise(std::uint64_t pixel, std::uint64_t step) {
  const std::uint32_t h = hash(pixel * 0x9e3779b97f4a7c15ULL + step);
  return ((h & 0xffff) + (h >> 16)) / 65535.0 * 5.0 - 5.0;
}

struct Look {
  bool textured;
  Vec3 light;
  std::uint64_t step;
  double perPixel;  // a pixel's footprint per metre of distance (1 / focal length)
};

struct Camera {
  Camera(const Pose& pose, double focal, double cx, double cy)
      : origin(pose.position),
        q(pose.orientation),
        focal(focal),
        cx(cx),
        cy(cy),
        forward(rotate(q, {1, 0, 0})),
        perColumn(rotate(q, {0, -1 / focal, 0})),
        perRow(rotate(q, {0, 0, -1 / focal})) {}

  // Ray through the pixel centre, scaled so its forward component is 1: the hit distance is the depth.
  // Linear in the pixel coordinates, so no rotation per pixel.
  Vec3 ray(int i, int j) const { return forward + perColumn * (i + 0.5 - cx) + perRow * (j + 0.5 - cy); }

  Vec3 origin;
  Quat q;
  double focal, cx, cy;
  Vec3 forward, perColumn, perRow;
};

struct Pixel {
  std::array<std::uint8_t, 3> rgb;
  float depth;
  std::uint32_t id;
};

std::uint8_t channel(double value) { return static_cast<std::uint8_t>(std::clamp(value, 0.0, 255.0)); }

Pixel background(const Camera& camera, Vec3 ray, const Look& look) {
  if (ray.z < -1e-9 && camera.origin.z > 0) {
    const double t = -camera.origin.z / ray.z;
    const Vec3 hit = camera.origin + ray * t;
    const bool light = ((static_cast<long>(std::floor(hit.x * 2)) + static_cast<long>(std::floor(hit.y * 2))) & 1) != 0;
    const double fade = 1.0 / (1.0 + 0.05 * t);                                       // haze toward the horizon
    const double footprint = t * look.perPixel / std::max(0.05, -ray.z / norm(ray));  // wider at grazing angles
    const double base =
        (light ? 190 : 120) * (look.textured ? grain(hit.x, hit.y, footprint) * (0.8 + 0.25 * look.light.z) : 1);
    const double shade = base * fade + 170 * (1 - fade);
    return {{channel(shade), channel(shade + 4), channel(shade * 0.95 + 8)}, static_cast<float>(t), kGroundId};
  }
  const double up = std::clamp(ray.z / norm(ray), 0.0, 1.0);
  return {{channel(170 - 90 * up), channel(200 - 70 * up), channel(235 - 20 * up)},
          std::numeric_limits<float>::infinity(),
          kBackgroundId};
}

// Nearest hit (t > kNear) of the ray origin + t * rd with a sphere; the capsule is the union of its two end
// spheres and the cylinder between them, so its entry point is the nearest entry of the three.
bool hitSphere(Vec3 centre, double radius, Vec3 origin, Vec3 rd, double& t, Vec3& normal) {
  const Vec3 oc = origin - centre;
  const double rdrd = dot(rd, rd), b = dot(rd, oc), c = dot(oc, oc) - radius * radius;
  const double h = b * b - rdrd * c;
  if (h < 0) return false;
  t = (-b - std::sqrt(h)) / rdrd;
  if (t <= kNear) return false;
  normal = oc + rd * t;
  return true;
}

bool hitCylinder(const RenderCapsule& c, Vec3 origin, Vec3 rd, double& t, Vec3& normal) {
  const Vec3 ba = c.b - c.a, oa = origin - c.a;
  const double baba = dot(ba, ba), bard = dot(ba, rd), baoa = dot(ba, oa);
  const double a = baba * dot(rd, rd) - bard * bard;
  if (baba <= 1e-12 || a <= 1e-12) return false;
  const double b = baba * dot(rd, oa) - baoa * bard;
  const double cc = baba * dot(oa, oa) - baoa * baoa - c.radius * c.radius * baba;
  const double h = b * b - a * cc;
  if (h < 0) return false;
  t = (-b - std::sqrt(h)) / a;
  const double y = baoa + t * bard;
  if (!(y > 0 && y < baba && t > kNear)) return false;
  normal = oa + rd * t - ba * (y / baba);
  return true;
}

bool intersect(const RenderCapsule& c, Vec3 origin, Vec3 rd, double& t, Vec3& normal) {
  bool hit = false;
  double candidate = 0;
  Vec3 candidateNormal;
  const auto keep = [&](bool found) {
    if (found && (!hit || candidate < t)) hit = true, t = candidate, normal = candidateNormal;
  };
  keep(hitCylinder(c, origin, rd, candidate, candidateNormal));
  keep(hitSphere(c.a, c.radius, origin, rd, candidate, candidateNormal));
  keep(hitSphere(c.b, c.radius, origin, rd, candidate, candidateNormal));
  return hit;
}

struct Box {
  int i0, i1, j0, j1;  // inclusive-exclusive pixel ranges
};

// Conservative screen rectangle of the capsule's bounding sphere; empty when behind the camera.
Box screenBox(const RenderCapsule& c, const Camera& camera, int width, int height) {
  const Vec3 centre = (c.a + c.b) * 0.5;
  const double radius = norm(c.b - c.a) / 2 + c.radius;
  const Quat inverse{camera.q.w, -camera.q.x, -camera.q.y, -camera.q.z};
  const Vec3 v = rotate(inverse, centre - camera.origin);  // (forward, left, up)
  if (v.x + radius <= kNear) return {0, 0, 0, 0};
  if (v.x - radius <= kNear) return {0, width, 0, height};
  double uMin = 1e300, uMax = -1e300, wMin = 1e300, wMax = -1e300;
  for (const double fwd : {v.x - radius, v.x + radius}) {
    for (const double side : {-radius, radius}) {
      const double u = camera.cx - camera.focal * (v.y + side) / fwd;
      const double w = camera.cy - camera.focal * (v.z + side) / fwd;
      uMin = std::min(uMin, u), uMax = std::max(uMax, u), wMin = std::min(wMin, w), wMax = std::max(wMax, w);
    }
  }
  const auto clampTo = [](double value, int limit) { return static_cast<int>(std::clamp(value, 0.0, double(limit))); };
  return {clampTo(std::floor(uMin), width), clampTo(std::ceil(uMax) + 1, width), clampTo(std::floor(wMin), height),
          clampTo(std::ceil(wMax) + 1, height)};
}

Pixel shade(const RenderCapsule& c, double t, Vec3 normal, Vec3 hit, const Look& look) {
  double light = 0.35 + 0.65 * std::max(0.0, dot(normalized(normal), look.light));
  if (look.textured) light *= grain(hit.x * 2 + hit.z * 3, hit.y * 2 - hit.z * 5, 5 * t * look.perPixel);
  return {{channel(c.colour[0] * light), channel(c.colour[1] * light), channel(c.colour[2] * light)},
          static_cast<float>(t),
          c.semanticId};
}

// Adds the textured look's sensor noise to every rgb pixel.
void addNoise(char* rgb, std::size_t pixels, std::uint64_t step) {
  for (std::size_t i = 0; i < pixels * 3; ++i) {
    const double value = static_cast<std::uint8_t>(rgb[i]) + sensorNoise(i, step);
    rgb[i] = static_cast<char>(channel(std::round(value)));
  }
}

void store(const RenderTargets& targets, std::size_t index, const Pixel& pixel) {
  if (targets.rgb) std::memcpy(targets.rgb + index * 3, pixel.rgb.data(), 3);
  if (targets.depth) std::memcpy(targets.depth + index * 4, &pixel.depth, 4);
  if (targets.semantic) std::memcpy(targets.semantic + index * 4, &pixel.id, 4);
}

}  // namespace

double RenderInput::focal() const { return width / (2.0 * std::tan(horizontalFov / 2)); }

void render(const RenderInput& input, const RenderTargets& targets) {
  const Camera camera(input.camera, input.focal(), input.width / 2.0, input.height / 2.0);
  const Look look{input.textured, input.textured ? movingLight(input.time) : kLight, input.step, 1 / input.focal()};
  const auto w = static_cast<std::size_t>(input.width);
  // Reused by each render thread: large frames would otherwise fault in fresh pages every time.
  thread_local std::vector<float> depth;
  depth.resize(w * static_cast<std::size_t>(input.height));
  for (int j = 0; j < input.height; ++j) {
    for (int i = 0; i < input.width; ++i) {
      const Pixel pixel = background(camera, camera.ray(i, j), look);
      depth[j * w + i] = pixel.depth;
      store(targets, j * w + i, pixel);
    }
  }
  for (const RenderCapsule& capsule : input.capsules) {
    const Box box = screenBox(capsule, camera, input.width, input.height);
    for (int j = box.j0; j < box.j1; ++j) {
      for (int i = box.i0; i < box.i1; ++i) {
        double t = 0;
        Vec3 normal;
        if (!intersect(capsule, camera.origin, camera.ray(i, j), t, normal) || !(t < depth[j * w + i])) continue;
        depth[j * w + i] = static_cast<float>(t);
        const Vec3 hit = camera.origin + camera.ray(i, j) * t;
        store(targets, j * w + i, shade(capsule, t, normal, hit, look));
      }
    }
  }
  if (look.textured && targets.rgb) addNoise(targets.rgb, w * static_cast<std::size_t>(input.height), look.step);
}

}  // namespace bridge_sim
