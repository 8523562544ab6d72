#pragma once

// Chunk compression: zstd and LZ4 frames (CRC-32 in record/mcap_bytes.hpp).
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace corvane::record {

/// Compresses chunks, keeping its contexts across calls.
class Compressor {
 public:
  /// `method` is "zstd" or "lz4".
  explicit Compressor(std::string method);
  ~Compressor();
  Compressor(const Compressor&) = delete;
  Compressor& operator=(const Compressor&) = delete;
  /// Replaces `out` with the compressed `in`.
  void compress(std::string_view in, std::string& out);
  const std::string& method() const { return method_; }

 private:
  struct Contexts;
  std::string method_;
  std::unique_ptr<Contexts> contexts_;
};

/// Decompresses a chunk's records compressed with `method` ("", "zstd" or "lz4") into exactly `size` bytes;
/// throws Malformed otherwise. Memory grows with the output, not with `size`.
std::string decompress(std::string_view method, std::string_view in, std::uint64_t size);

}  // namespace corvane::record
