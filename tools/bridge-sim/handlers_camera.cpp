// REST operations on cameras; captures render on the render pool.
#include "api_error.hpp"
#include "capture.hpp"
#include "handlers.hpp"
#include "json_input.hpp"

namespace bridge_sim::handlers {

using nlohmann::json;

namespace {

constexpr std::int64_t kMaxSide = 4096;
constexpr std::int64_t kMaxPixels = 3840 * 2160;

std::optional<std::pair<int, int>> readResolution(const json& request) {
  const json* value = input::member(request, "resolution");
  if (value == nullptr || value->is_null()) return std::nullopt;
  const auto sides = input::integerArray(*value, "\"resolution\"");
  if (sides.size() != 2) throw badRequest("\"resolution\" must be [width, height]");
  if (sides[0] < 1 || sides[1] < 1 || sides[0] > kMaxSide || sides[1] > kMaxSide || sides[0] * sides[1] > kMaxPixels) {
    throw badRequest("\"resolution\" must be between 1 x 1 and 4096 x 4096, at most 3840 x 2160 pixels in all");
  }
  return std::make_pair(static_cast<int>(sides[0]), static_cast<int>(sides[1]));
}

}  // namespace

void createCamera(Services& services, const Route&, std::string_view body, Respond& respond) {
  const json request = input::parseObject(body);
  input::allowOnly(request, {"prim_path", "resolution", "frequency"});
  const std::string primPath = input::requireString(request, "prim_path");
  input::checkPrimPath(primPath);
  const auto resolution = readResolution(request);
  std::optional<double> frequency;
  if (const json* value = input::member(request, "frequency"); value != nullptr && !value->is_null()) {
    frequency = input::toNumber(*value, "\"frequency\"");
    if (*frequency <= 0 || *frequency > 1000) throw badRequest("\"frequency\" must be above 0 and at most 1000 Hz");
  }
  respond(Reply::json(201, services.scene().createCamera(primPath, resolution, frequency)));
}

void removeCamera(Services& services, const Route& route, std::string_view, Respond& respond) {
  respond(Reply::json(200, services.scene().removeCamera(route.primPath)));
}

void capture(Services& services, const Route& route, std::string_view body, Respond& respond) {
  const json request = input::parseObject(body);
  input::allowOnly(request, {"data_types", "world_frame"});
  std::optional<std::vector<std::string>> requested;
  if (const json* value = input::member(request, "data_types"); value != nullptr && !value->is_null()) {
    requested = input::stringArray(*value, "\"data_types\"");
  }
  const std::vector<std::string> dataTypes = checkDataTypes(requested);
  const bool worldFrame = input::optionalBool(request, "world_frame").value_or(false);
  CaptureJob job = services.scene().captureJob(route.primPath);  // the scene as of now, not as of the render
  job.input.textured = services.texturedRender();
  job.input.time = job.time;
  job.input.step = static_cast<std::uint64_t>(job.step);
  services.render([job = std::move(job), dataTypes, worldFrame, respond](std::shared_ptr<void> token) mutable {
    guarded(respond, [&] {
      Reply reply;
      reply.body = encodeCapture(job, dataTypes, worldFrame);
      reply.contentType = "application/octet-stream";
      reply.hold = std::move(token);
      return reply;
    });
  });
}

}  // namespace bridge_sim::handlers
