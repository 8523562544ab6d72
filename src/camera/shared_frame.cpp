// Frames whose outputs are views of the reply they were decoded from (the shared road).
#include <cstdint>
#include <utility>

#include "camera/frame_decoder.hpp"
#include "camera/output_rules.hpp"
#include "client/access.hpp"
#include "corvane/camera.hpp"

namespace corvane {

struct SharedFrame::Contents {
  nlohmann::json structure;
  std::vector<SharedOutput> outputs;
  std::shared_ptr<const std::byte> reply;
  std::size_t replySize = 0;
};

namespace {

// The shared road: each output is its region of the reply, with a share of the reply's ownership.
class SharedBuilder final : public detail::FrameBuilder {
 public:
  SharedBuilder(std::shared_ptr<const std::byte> reply, std::size_t size) {
    contents_.reply = std::move(reply);
    contents_.replySize = size;
  }

  void structure(nlohmann::json&& value) override { contents_.structure = std::move(value); }
  void expectOutputs(std::size_t count) override { contents_.outputs.reserve(count); }
  void output(std::vector<std::size_t>&& shape, std::string&& dtype, std::string_view bytes) override {
    std::shared_ptr<const std::byte> view(contents_.reply, reinterpret_cast<const std::byte*>(bytes.data()));
    contents_.outputs.emplace_back(std::move(shape), std::move(dtype), std::move(view), bytes.size());
  }

  SharedFrame finish() && {
    return detail::Access::sharedFrame(std::make_shared<const Contents>(std::move(contents_)));
  }

 private:
  using Contents = detail::Access::SharedFrameContents;
  Contents contents_;
};

}  // namespace

SharedOutput::SharedOutput(std::vector<std::size_t> shape, std::string dtype, std::shared_ptr<const std::byte> bytes,
                           std::size_t nbytes) noexcept
    : shape(std::move(shape)), dtype(std::move(dtype)), bytes_(std::move(bytes)), nbytes_(nbytes) {}

bool SharedOutput::aligned() const noexcept {
  const std::size_t size = itemSize();
  return size == 0 || reinterpret_cast<std::uintptr_t>(data()) % size == 0;
}

std::size_t SharedOutput::elementCount() const noexcept { return detail::elementCountOf(shape); }

std::size_t SharedOutput::itemSize() const noexcept { return detail::itemSizeOf(dtype); }

CameraOutput SharedOutput::toCameraOutput() const {
  CameraOutput output{shape, dtype, {}};
  output.data.assign(data(), data() + nbytes_);
  return output;
}

SharedFrame::SharedFrame() : contents_(std::make_shared<const Contents>()) {}

const nlohmann::json& SharedFrame::structure() const noexcept { return contents_->structure; }

const std::vector<SharedOutput>& SharedFrame::outputs() const noexcept { return contents_->outputs; }

const SharedOutput* SharedFrame::output(std::string_view name) const {
  const std::optional<std::size_t> index = detail::outputIndex(structure(), name, outputs().size());
  return index ? &outputs()[*index] : nullptr;
}

const std::shared_ptr<const std::byte>& SharedFrame::reply() const noexcept { return contents_->reply; }

std::size_t SharedFrame::replySize() const noexcept { return contents_->replySize; }

CameraFrame SharedFrame::toCameraFrame() const {
  CameraFrame frame;
  frame.structure = structure();
  frame.outputs.reserve(outputs().size());
  for (const SharedOutput& output : outputs()) frame.outputs.push_back(output.toCameraOutput());
  return frame;
}

namespace detail {

std::size_t checkedElementCount(const SharedOutput& output, std::string_view dtype) {
  return checkedCount(output.shape, output.dtype, output.nbytes(), dtype);
}

SharedFrame decodeSharedFrame(long status, std::shared_ptr<const std::byte> body, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(body.get()), size);
  SharedBuilder builder(std::move(body), size);
  decodeInto(status, bytes, builder, ManifestRoad::fastThenGeneral);
  return std::move(builder).finish();
}

SharedFrame decodeSharedFrame(HttpResponse&& response) {
  auto body = std::make_shared<const std::string>(std::move(response.body));
  const std::size_t size = body->size();
  const auto* first = reinterpret_cast<const std::byte*>(body->data());
  return decodeSharedFrame(response.status, std::shared_ptr<const std::byte>(body, first), size);
}

}  // namespace detail
}  // namespace corvane
