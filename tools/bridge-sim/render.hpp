#pragma once

// The deterministic CPU render: a checkered ground plane and capsules (robot links, grippers) seen by a
// pinhole camera. Same input, same pixels. The textured look adds what a real camera's images have and flat
// shading lacks (so that compression is measured honestly): grain on every surface, a light that moves with
// the scene's time, and per-pixel sensor noise that changes every step.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "geometry.hpp"

namespace bridge_sim {

struct RenderCapsule {
  Vec3 a, b;
  double radius = 0;
  std::array<std::uint8_t, 3> colour{};
  std::uint32_t semanticId = 0;
};

/// Semantic ids 0 and 1 are the background (sky) and the ground.
constexpr std::uint32_t kBackgroundId = 0;
constexpr std::uint32_t kGroundId = 1;

struct RenderInput {
  int width = 0, height = 0;
  Pose camera;                    ///< camera frame: x forward, y left, z up
  double horizontalFov = 1.2217;  ///< radians (70 degrees)
  std::vector<RenderCapsule> capsules;
  bool textured = false;   ///< the textured, noisy look (flat shading otherwise)
  double time = 0;         ///< scene time in seconds: moves the light of the textured look
  std::uint64_t step = 0;  ///< scene step: seeds the textured look's sensor noise

  double focal() const;  ///< focal length in pixels (square pixels, principal point at the centre)
};

/// Where the images go; a null target is not rendered. Layouts: rgb H x W x 3 uint8, depth H x W float32
/// (metres along the optical axis, +inf where nothing is hit), semantic H x W uint32. Native byte order.
struct RenderTargets {
  char* rgb = nullptr;
  char* depth = nullptr;
  char* semantic = nullptr;
};

void render(const RenderInput& input, const RenderTargets& targets);

}  // namespace bridge_sim
