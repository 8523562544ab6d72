#include "capture.hpp"

#include <algorithm>

#include "api_error.hpp"
#include "frame_writer.hpp"

namespace bridge_sim {

using nlohmann::json;

namespace {

constexpr const char* kKnownTypes[] = {"rgb", "depth", "semantic_segmentation"};

json intrinsics(const RenderInput& input) {
  const double f = input.focal();
  return {{"fx", f}, {"fy", f}, {"cx", input.width / 2.0}, {"cy", input.height / 2.0}};
}

}  // namespace

std::vector<std::string> checkDataTypes(const std::optional<std::vector<std::string>>& requested) {
  if (!requested) return {"rgb", "depth"};
  for (std::size_t i = 0; i < requested->size(); ++i) {
    const std::string& name = (*requested)[i];
    if (std::find(std::begin(kKnownTypes), std::end(kKnownTypes), name) == std::end(kKnownTypes)) {
      throw badRequest("unknown data type '" + name + "' (known: rgb, depth, semantic_segmentation)");
    }
    if (std::find(requested->begin(), requested->begin() + static_cast<long>(i), name) !=
        requested->begin() + static_cast<long>(i)) {
      throw badRequest("the data type '" + name + "' is requested twice");
    }
  }
  return *requested;
}

std::string encodeCapture(const CaptureJob& job, const std::vector<std::string>& dataTypes, bool worldFrame) {
  const auto h = static_cast<std::uint64_t>(job.input.height);
  const auto w = static_cast<std::uint64_t>(job.input.width);
  frame_writer::FrameWriter writer;
  std::uint64_t total = 0;
  for (const std::string& name : dataTypes) total += h * w * (name == "rgb" ? 3 : 4);
  writer.expectPayload(total);
  std::optional<std::size_t> rgb, depth, semantic;
  for (const std::string& name : dataTypes) {
    if (name == "rgb") rgb = writer.reserve(name, {h, w, 3}, "uint8", h * w * 3);
    if (name == "depth") depth = writer.reserve(name, {h, w}, "float32", h * w * 4);
    if (name == "semantic_segmentation") semantic = writer.reserve(name, {h, w}, "uint32", h * w * 4);
  }
  RenderTargets targets;  // pointers taken after the last reserve, which may move the payload
  if (rgb) targets.rgb = writer.data(*rgb);
  if (depth) targets.depth = writer.data(*depth);
  if (semantic) targets.semantic = writer.data(*semantic);
  render(job.input, targets);

  json& structure = writer.structure();
  if (depth) structure["depth"]["units"] = "metres";
  if (semantic) structure["semantic_segmentation"]["id_to_labels"] = job.labels;
  structure["camera"] = job.camera;
  structure["resolution"] = {job.input.width, job.input.height};
  structure["frequency"] = job.frequency;
  structure["step"] = job.step;
  structure["time"] = job.time;
  structure["intrinsics"] = intrinsics(job.input);
  if (worldFrame) structure["camera_pose"] = poseJson(job.input.camera);
  return std::move(writer).finish();
}

}  // namespace bridge_sim
