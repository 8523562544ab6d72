#include "frame_writer.hpp"

#include <cstring>
#include <stdexcept>

namespace frame_writer {

namespace {
constexpr std::size_t kHeadRoom = 64 * 1024;  // header and manifest of any ordinary frame
}  // namespace

std::string encodeFrameText(std::string_view manifestText, std::string_view payload) {
  if (manifestText.size() > UINT32_MAX) throw std::length_error("frame manifest longer than 4 GiB");
  const auto length = static_cast<std::uint32_t>(manifestText.size());
  std::string frame;
  frame.reserve(8 + manifestText.size() + payload.size());
  frame.append("CVB1");
  for (int shift = 0; shift < 32; shift += 8) frame.push_back(static_cast<char>((length >> shift) & 0xFF));
  frame.append(manifestText).append(payload);
  return frame;
}

std::string encodeFrame(const nlohmann::json& manifest, std::string_view payload) {
  return encodeFrameText(manifest.dump(), payload);
}

std::size_t FrameWriter::reserve(std::string_view name, std::vector<std::uint64_t> shape, std::string dtype,
                                 std::size_t nbytes) {
  const std::size_t index = arrays_.size();
  arrays_.push_back(
      {{"shape", std::move(shape)}, {"dtype", std::move(dtype)}, {"offset", payload_.size()}, {"nbytes", nbytes}});
  structure_[std::string(name)] = {{"__ndarray__", index}};
  payload_.resize(payload_.size() + nbytes);
  return index;
}

std::size_t FrameWriter::add(std::string_view name, std::vector<std::uint64_t> shape, std::string dtype,
                             const void* data, std::size_t nbytes) {
  const std::size_t index = reserve(name, std::move(shape), std::move(dtype), nbytes);
  if (nbytes > 0) std::memcpy(this->data(index), data, nbytes);
  return index;
}

char* FrameWriter::data(std::size_t index) {
  return payload_.data() + arrays_.at(index).at("offset").get<std::size_t>();
}

void FrameWriter::expectPayload(std::size_t payloadBytes) { payload_.reserve(payloadBytes + kHeadRoom); }

std::string FrameWriter::finish() const& {
  return encodeFrame({{"structure", structure_}, {"arrays", arrays_}}, payload_);
}

std::string FrameWriter::finish() && {
  std::string head = encodeFrame({{"structure", structure_}, {"arrays", arrays_}}, {});
  payload_.insert(0, head);  // moves the arrays within the buffer when expectPayload left room
  return std::move(payload_);
}

}  // namespace frame_writer
