#pragma once

// A frame decodes the same on both roads: the shared road (views of the reply) must end exactly as the
// owning decoder does on any body, with the same frame or the same error, and its outputs must be views of
// the body itself, never copies.
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "fast_path_check.hpp"

namespace shared_road_check {

// Where each shared output lies must be inside the body; empty when they all do.
inline std::string viewsInsideBody(const corvane::SharedFrame& frame, const std::byte* body, std::size_t size) {
  for (const corvane::SharedOutput& output : frame.outputs()) {
    const std::byte* first = output.data();
    if (output.nbytes() == 0) continue;
    if (first < body || first > body + size || output.nbytes() > static_cast<std::size_t>(body + size - first)) {
      return "a shared output is not a view of the body";
    }
  }
  return {};
}

// Decodes `body` as a 200 reply on both roads; `problem` is set when they end differently.
inline void compareRoads(std::string_view body, std::string& problem) {
  corvane::HttpResponse response;
  response.status = 200;
  response.body.assign(body);
  // A block of exactly the body's size, so that a sanitizer sees any read past it.
  std::shared_ptr<std::byte[]> bytes(new std::byte[body.size() + 1]);
  if (!body.empty()) std::memcpy(bytes.get(), body.data(), body.size());
  const std::shared_ptr<const std::byte> view(bytes, bytes.get());
  std::optional<corvane::SharedFrame> shared;
  const fast_path_check::Result owning = fast_path_check::run([&] { return corvane::detail::decodeFrame(response); });
  const fast_path_check::Result viewed = fast_path_check::run([&] {
    shared = corvane::detail::decodeSharedFrame(200, view, body.size());
    return shared->toCameraFrame();
  });
  if (owning.error != viewed.error) {
    problem = "owning: \"" + owning.error + "\", shared: \"" + viewed.error + "\"";
  } else if (owning.frame && viewed.frame) {
    problem = fast_path_check::frameDifference(*viewed.frame, *owning.frame);
    if (problem.empty()) problem = viewsInsideBody(*shared, bytes.get(), body.size());
  }
}

}  // namespace shared_road_check
