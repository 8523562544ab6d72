// zstd and LZ4 frames for chunk records, and zlib's CRC-32.
#include "record/compression.hpp"

#include <libdeflate.h>
#include <lz4frame.h>
#include <zlib.h>
#include <zstd.h>

#include <stdexcept>

#include "record/mcap_bytes.hpp"

namespace corvane::record {

// libdeflate's CRC-32 (carry-less multiplication where the CPU has it) is several times faster than zlib's,
// which matters at camera rates; zlib combines two CRCs.
std::uint32_t crc32(std::uint32_t crc, std::string_view bytes) {
  return libdeflate_crc32(crc, bytes.data(), bytes.size());
}

std::uint32_t crc32Combine(std::uint32_t crcA, std::uint32_t crcB, std::uint64_t lengthB) {
  return static_cast<std::uint32_t>(::crc32_combine(crcA, crcB, static_cast<z_off_t>(lengthB)));
}

struct Compressor::Contexts {
  ZSTD_CCtx* zstd = nullptr;
  LZ4F_preferences_t lz4{};
  ~Contexts() { ZSTD_freeCCtx(zstd); }
};

Compressor::Compressor(std::string method) : method_(std::move(method)), contexts_(std::make_unique<Contexts>()) {
  if (method_ == "zstd") {
    contexts_->zstd = ZSTD_createCCtx();
    if (contexts_->zstd == nullptr) throw std::bad_alloc();
    ZSTD_CCtx_setParameter(contexts_->zstd, ZSTD_c_compressionLevel, 1);
  } else if (method_ == "lz4") {
    contexts_->lz4.frameInfo.contentChecksumFlag = LZ4F_noContentChecksum;
  } else {
    throw std::invalid_argument("recording: unknown compression '" + method_ + "'");
  }
}

Compressor::~Compressor() = default;

void Compressor::compress(std::string_view in, std::string& out) {
  if (contexts_->zstd != nullptr) {
    out.resize(ZSTD_compressBound(in.size()));
    const std::size_t n = ZSTD_compress2(contexts_->zstd, out.data(), out.size(), in.data(), in.size());
    if (ZSTD_isError(n)) throw RecordingError(std::string("recording: zstd: ") + ZSTD_getErrorName(n));
    out.resize(n);
    return;
  }
  LZ4F_preferences_t prefs = contexts_->lz4;
  prefs.frameInfo.contentSize = in.size();
  out.resize(LZ4F_compressFrameBound(in.size(), &prefs));
  const std::size_t n = LZ4F_compressFrame(out.data(), out.size(), in.data(), in.size(), &prefs);
  if (LZ4F_isError(n)) throw RecordingError(std::string("recording: lz4: ") + LZ4F_getErrorName(n));
  out.resize(n);
}

namespace {

std::string lz4Decompress(std::string_view in, std::uint64_t size) {
  LZ4F_dctx* ctx = nullptr;
  if (LZ4F_isError(LZ4F_createDecompressionContext(&ctx, LZ4F_VERSION))) throw std::bad_alloc();
  std::unique_ptr<LZ4F_dctx, decltype(&LZ4F_freeDecompressionContext)> guard(ctx, LZ4F_freeDecompressionContext);
  std::string out(size, '\0');
  std::size_t outPos = 0;
  std::size_t inPos = 0;
  while (true) {
    std::size_t outLen = out.size() - outPos;
    std::size_t inLen = in.size() - inPos;
    const std::size_t hint = LZ4F_decompress(ctx, out.data() + outPos, &outLen, in.data() + inPos, &inLen, nullptr);
    if (LZ4F_isError(hint)) throw RecordingError(std::string("recording: lz4: ") + LZ4F_getErrorName(hint));
    outPos += outLen;
    inPos += inLen;
    if (hint == 0) break;
    if (inLen == 0 && outLen == 0) throw RecordingError("recording: lz4 chunk ends early");
  }
  if (outPos != size) throw RecordingError("recording: lz4 chunk has the wrong uncompressed size");
  return out;
}

}  // namespace

std::string decompress(std::string_view method, std::string_view in, std::uint64_t size) {
  if (method.empty()) {
    if (in.size() != size) throw RecordingError("recording: chunk size does not match its records");
    return std::string(in);
  }
  if (method == "lz4") return lz4Decompress(in, size);
  if (method != "zstd") throw RecordingError("recording: unsupported compression '" + std::string(method) + "'");
  std::string out(size, '\0');
  const std::size_t n = ZSTD_decompress(out.data(), out.size(), in.data(), in.size());
  if (ZSTD_isError(n)) throw RecordingError(std::string("recording: zstd: ") + ZSTD_getErrorName(n));
  if (n != size) throw RecordingError("recording: zstd chunk has the wrong uncompressed size");
  return out;
}

}  // namespace corvane::record
