#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "corvane/export.hpp"
#include "corvane/output_view.hpp"
#include "corvane/response.hpp"

namespace corvane {

class IsaacSimClient;
struct CameraOutput;
class SharedOutput;

namespace detail {
class Access;
/// The element count of `output` as T, after checking that its dtype is `dtype` and that its byte count is
/// exactly shape product * item size (computed without wrapping). Throws std::invalid_argument otherwise.
[[nodiscard]] CORVANE_API std::size_t checkedElementCount(const CameraOutput& output, std::string_view dtype);
/// The same for a shared output.
[[nodiscard]] CORVANE_API std::size_t checkedElementCount(const SharedOutput& output, std::string_view dtype);
}  // namespace detail

/// One captured array: its dimensions, element type name and raw bytes, in the layout the bridge wrote.
/// Nothing ties `data.size()` to the shape and dtype; as<T>() checks that they agree.
struct CORVANE_API CameraOutput {
  std::vector<std::size_t> shape;  ///< dimensions, in the manifest's order
  std::string dtype;               ///< element type name as the manifest gives it, e.g. "float32"
  std::vector<std::byte> data;     ///< the array's bytes, owned

  /// The product of the shape entries: 1 for an empty shape, 0 when a dimension is 0. It wraps modulo 2^64.
  [[nodiscard]] std::size_t elementCount() const noexcept;
  /// Bytes per element of `dtype`: 1 for "bool", "int8", "uint8"; 2 for "int16", "uint16", "float16";
  /// 4 for "int32", "uint32", "float32"; 8 for "int64", "uint64", "float64". Names match exactly
  /// (case-sensitive, no trimming); any other name gives 0.
  [[nodiscard]] std::size_t itemSize() const noexcept;

  /// The bytes as a read-only view of T elements (e.g. as<float>() for "float32", as<std::uint8_t>() for
  /// "uint8"). Throws std::invalid_argument when the dtype does not name T, or when the byte count differs
  /// from the shape's element count times the item size. See OutputView for alignment and lifetime.
  template <typename T>
  [[nodiscard]] OutputView<T> as() const {
    const std::size_t count = detail::checkedElementCount(*this, DtypeOf<T>::name);
    return OutputView<T>(data.data(), count);
  }
};

/// A decoded capture: the bridge's result tree plus its arrays. A value type that owns all of its data.
struct CORVANE_API CameraFrame {
  /// The capture's result tree; each array appears in it as an object whose "__ndarray__" is its index.
  nlohmann::json structure;
  /// The arrays, in manifest order.
  std::vector<CameraOutput> outputs;

  /// The output that the top-level member `name` of `structure` refers to through its "__ndarray__"
  /// index, or nullptr (no such member, not an object, no index, index out of range, structure not an
  /// object). Throws nlohmann::json::type_error 302 when the index is not a number. The pointer is valid
  /// while the frame lives and `outputs` is unchanged.
  [[nodiscard]] const CameraOutput* output(std::string_view name) const;
};

/// One captured array of a SharedFrame: its dimensions and element type name, and a view of its bytes where
/// they lie in the capture's reply, which it shares ownership of (copying an output copies no bytes; the
/// whole reply lives while any output or view of it does). Nothing ties nbytes() to the shape and dtype;
/// as<T>() checks that they agree.
class CORVANE_API SharedOutput {
 public:
  std::vector<std::size_t> shape;  ///< dimensions, in the manifest's order
  std::string dtype;               ///< element type name as the manifest gives it, e.g. "float32"

  SharedOutput() = default;
  /// `nbytes` bytes at `bytes`; `bytes` keeps whatever holds them alive.
  SharedOutput(std::vector<std::size_t> shape, std::string dtype, std::shared_ptr<const std::byte> bytes,
               std::size_t nbytes) noexcept;

  /// The first of its bytes (null for an empty output of an empty reply). They may sit at any address:
  /// read them through as<T>() or memcpy.
  [[nodiscard]] const std::byte* data() const noexcept { return bytes_.get(); }
  /// Its byte count.
  [[nodiscard]] std::size_t nbytes() const noexcept { return nbytes_; }
  /// Its bytes with shared ownership of the reply they lie in.
  [[nodiscard]] const std::shared_ptr<const std::byte>& bytes() const noexcept { return bytes_; }
  /// Whether data() is aligned for its dtype's element size (as<T>() reads any address either way).
  [[nodiscard]] bool aligned() const noexcept;

  /// As CameraOutput::elementCount(): the product of the shape entries, wrapping modulo 2^64.
  [[nodiscard]] std::size_t elementCount() const noexcept;
  /// As CameraOutput::itemSize(): bytes per element of `dtype`, 0 for a name outside the table.
  [[nodiscard]] std::size_t itemSize() const noexcept;

  /// The bytes as a read-only view of T elements, as CameraOutput::as<T>() (same checks, same errors). The
  /// view reads each element by value, so any alignment works, and keeps the reply alive on its own.
  template <typename T>
  [[nodiscard]] OutputView<T> as() const {
    const std::size_t count = detail::checkedElementCount(*this, DtypeOf<T>::name);
    return OutputView<T>(data(), count, bytes_);
  }

  /// An owning copy: the same shape and dtype, and its own copy of the bytes.
  [[nodiscard]] CameraOutput toCameraOutput() const;

 private:
  std::shared_ptr<const std::byte> bytes_;
  std::size_t nbytes_ = 0;
};

/// A decoded capture whose outputs are views of the reply it was read from: the reply is read once into one
/// buffer and decoding touches only the manifest, never a payload byte. The frame and its outputs share
/// that buffer, immutable; it is freed when the last frame, output or view of it is gone (so one output kept
/// keeps its whole reply: toCameraOutput() copies just that one). Copying a frame is cheap (shared).
/// Lookup by name and the structure are those of CameraFrame; toCameraFrame() gives the owning kind.
class CORVANE_API SharedFrame {
 public:
  /// An empty frame: null structure, no outputs, no reply.
  SharedFrame();

  /// The capture's result tree; each array appears in it as an object whose "__ndarray__" is its index.
  [[nodiscard]] const nlohmann::json& structure() const noexcept;
  /// The arrays, in manifest order.
  [[nodiscard]] const std::vector<SharedOutput>& outputs() const noexcept;
  /// As CameraFrame::output(): the output that the top-level member `name` of structure() refers to, or
  /// nullptr; throws nlohmann::json::type_error 302 when its "__ndarray__" is not a number. The pointer is
  /// valid while this frame (or a copy) lives.
  [[nodiscard]] const SharedOutput* output(std::string_view name) const;

  /// The whole reply body (header, manifest, payload) that the outputs are views of.
  [[nodiscard]] const std::shared_ptr<const std::byte>& reply() const noexcept;
  /// Its size in bytes.
  [[nodiscard]] std::size_t replySize() const noexcept;

  /// An owning CameraFrame: the structure and every output copied.
  [[nodiscard]] CameraFrame toCameraFrame() const;

 private:
  friend class detail::Access;  // the decoder makes frames
  /// What every copy of a frame shares, defined and made by the decoder.
  struct Contents;
  explicit SharedFrame(std::shared_ptr<const Contents> contents) noexcept : contents_(std::move(contents)) {}

  std::shared_ptr<const Contents> contents_;
};

namespace detail {
/// Decodes the reply to a capture. A status outside 200..299 throws HTTPError. The body must be "CVB1",
/// a 32-bit little-endian manifest length L, L bytes of JSON manifest, then the payload; each output's
/// bytes are copied out of the payload, so the frame does not refer to the response. Throws
/// FrameError (a std::runtime_error) for a body that is not a frame or claims bytes past its end, and nlohmann/json's
/// parse_error, type_error and out_of_range for a manifest that is not valid JSON or lacks a member.
[[nodiscard]] CORVANE_API CameraFrame decodeFrame(const HttpResponse& response);

/// Decodes a capture reply of `status` whose body is the `size` bytes at `body` into a frame of views of
/// those bytes (`body` keeps them alive, and the frame shares it). The checks, errors and messages are
/// decodeFrame's; no payload byte is read.
[[nodiscard]] CORVANE_API SharedFrame decodeSharedFrame(long status, std::shared_ptr<const std::byte> body,
                                                        std::size_t size);
/// The same for a response taken over whole: its body becomes the frame's reply without a copy (for instance
/// a capture reply from IsaacSimClient::batch).
[[nodiscard]] CORVANE_API SharedFrame decodeSharedFrame(HttpResponse&& response);
}  // namespace detail

/// Cameras in the scene, addressed by prim path.
/// Holds only a pointer to its client, which must outlive it.
class CORVANE_API Camera {
 public:
  explicit Camera(IsaacSimClient& client) noexcept : client_(&client) {}
  Camera(const Camera&) noexcept = default;
  /// Not assignable: assigning one client's family to another's would leave it bound to the wrong client,
  /// and dangling once that client is gone.
  Camera& operator=(const Camera&) = delete;

  /// The client this family sends its requests through.
  IsaacSimClient& client() const noexcept { return *client_; }

  /// Creates a camera at `primPath` (PUT /cameras). Absent options are left out of the request; present
  /// ones are sent even when empty. Returns the bridge's JSON reply ({} for an empty one).
  nlohmann::json create(std::string_view primPath, const std::optional<std::vector<int>>& resolution = std::nullopt,
                        std::optional<double> frequency = std::nullopt);

  /// Removes the camera at `primPath` (DELETE `/cameras/<primPath>`).
  void remove(std::string_view primPath);

  /// Captures a frame (POST `/cameras/<primPath>/capture`) and decodes it. Absent options are left out of
  /// the request body ({} when both are absent); present ones are sent even when empty or false.
  [[nodiscard]] CameraFrame capture(std::string_view primPath,
                                    const std::optional<std::vector<std::string>>& dataTypes = std::nullopt,
                                    std::optional<bool> worldFrame = std::nullopt);

  /// Captures every camera in `primPaths` at once (one batch, see IsaacSimClient::batch) with the same
  /// options, and returns the frames in the order of `primPaths`. Every capture runs to its end (with its
  /// own retries and the client's deadline); then the first failure in that order, if any, is thrown as
  /// capture would throw it. For each camera's own outcome, use batch and detail::decodeFrame.
  [[nodiscard]] std::vector<CameraFrame> captureAll(
      const std::vector<std::string>& primPaths,
      const std::optional<std::vector<std::string>>& dataTypes = std::nullopt,
      std::optional<bool> worldFrame = std::nullopt);

  /// capture() on the shared road: the same request, retries and errors, but the reply is read once into a
  /// buffer that the frame keeps, and the outputs are views of it (no copy of any payload byte). Prefer it
  /// for large frames that are read or handed on whole; prefer capture() to keep single outputs for long
  /// (a shared output keeps its whole reply alive).
  [[nodiscard]] SharedFrame captureShared(std::string_view primPath,
                                          const std::optional<std::vector<std::string>>& dataTypes = std::nullopt,
                                          std::optional<bool> worldFrame = std::nullopt);

  /// captureAll() on the shared road: every camera at once (one batch), frames in the order of
  /// `primPaths`, the first failure in that order thrown once every capture has ended.
  [[nodiscard]] std::vector<SharedFrame> captureAllShared(
      const std::vector<std::string>& primPaths,
      const std::optional<std::vector<std::string>>& dataTypes = std::nullopt,
      std::optional<bool> worldFrame = std::nullopt);

 private:
  IsaacSimClient* client_;
};

}  // namespace corvane
