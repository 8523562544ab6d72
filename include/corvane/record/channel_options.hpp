#pragma once

// What the recorder and the live server both let a user choose about their channels: how colour images are
// encoded, and the static frame transforms placed beside the cameras.
#include <array>
#include <string>

namespace corvane {

/// How colour camera outputs (uint8 H x W x 3 or H x W x 4) are recorded or served.
enum class VideoFormat {
  none,  ///< raw, as sensor_msgs/Image (compressed only by the chunks)
  h264,  ///< foxglove.CompressedVideo, H.264 (libx264)
  av1,   ///< foxglove.CompressedVideo, AV1 (SVT-AV1)
  jpeg,  ///< foxglove.CompressedImage, JPEG at jpegQuality
  png,   ///< foxglove.CompressedImage, PNG (lossless)
};

/// A transform that does not change, set by the user where the bridge does not report a pose (a camera fixed to
/// a robot's body): `childFrame` placed in `parentFrame`. Published as foxglove.FrameTransform on "/transforms".
/// A camera's frame is named after its prim as the caller gave it ("/World/Camera").
struct FrameTransform {
  std::string parentFrame = "world";
  std::string childFrame;
  std::array<double, 3> translation{0, 0, 0};  ///< x, y, z
  std::array<double, 4> rotation{0, 0, 0, 1};  ///< a unit quaternion x, y, z, w
};

}  // namespace corvane
