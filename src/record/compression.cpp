// zstd and LZ4 frames for chunk records, and zlib's CRC-32.
#include "record/compression.hpp"

#include <libdeflate.h>
#include <lz4frame.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <deque>
#include <stdexcept>
#include <utility>

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

// Decompressed bytes, held in pieces that are added as output arrives (each doubles what is held), never past
// one byte more than the size the chunk claims: memory follows the output that exists, not the claim. Earlier
// pieces stay where they are, as LZ4's linked blocks refer back into them.
class Output {
 public:
  Output(std::uint64_t claimed, std::size_t stored) : claimed_(claimed) {
    add(std::min(claimed + 1, std::max<std::uint64_t>(kFirstPiece, 16 * std::uint64_t{stored})));
  }

  // Where the next output goes; empty when the output already passed the claim.
  std::pair<char*, std::size_t> room() {
    if (used_ == pieces_.back().size()) {
      if (held_ > claimed_) return {nullptr, 0};
      add(std::min(claimed_ + 1 - held_, held_));
    }
    std::string& piece = pieces_.back();
    return {piece.data() + used_, piece.size() - used_};
  }
  void produced(std::size_t n) {
    used_ += n;
    produced_ += n;
  }
  bool exceeded() const { return produced_ > claimed_; }

  // The whole output, which must be exactly the claimed size.
  std::string take(const char* method) {
    if (produced_ != claimed_) {
      throw Malformed(std::string(method) + " data decompresses to " + (exceeded() ? "more than" : "only") + " " +
                      std::to_string(exceeded() ? claimed_ : produced_) + " bytes, not the " +
                      std::to_string(claimed_) + " the chunk claims");
    }
    if (pieces_.size() == 1) {
      pieces_.back().resize(used_);
      return std::move(pieces_.back());
    }
    std::string whole;
    whole.reserve(produced_);
    for (std::size_t i = 0; i + 1 < pieces_.size(); ++i) whole += pieces_[i];
    whole.append(pieces_.back(), 0, used_);
    return whole;
  }

 private:
  static constexpr std::uint64_t kFirstPiece = 64 << 10;
  void add(std::uint64_t size) {
    pieces_.emplace_back(size, '\0');
    held_ += size;
    used_ = 0;
  }
  std::uint64_t claimed_;
  std::deque<std::string> pieces_;  // adding one moves none
  std::uint64_t held_ = 0, produced_ = 0;
  std::size_t used_ = 0;
};

std::string lz4Decompress(std::string_view in, std::uint64_t size) {
  LZ4F_dctx* ctx = nullptr;
  if (LZ4F_isError(LZ4F_createDecompressionContext(&ctx, LZ4F_VERSION))) throw std::bad_alloc();
  std::unique_ptr<LZ4F_dctx, decltype(&LZ4F_freeDecompressionContext)> guard(ctx, LZ4F_freeDecompressionContext);
  Output out(size, in.size());
  std::size_t inPos = 0;
  while (true) {
    const auto [to, room] = out.room();
    if (to == nullptr) break;
    std::size_t outLen = room;
    std::size_t inLen = in.size() - inPos;
    const std::size_t hint = LZ4F_decompress(ctx, to, &outLen, in.data() + inPos, &inLen, nullptr);
    if (LZ4F_isError(hint)) throw Malformed(std::string("lz4: ") + LZ4F_getErrorName(hint));
    out.produced(outLen);
    inPos += inLen;
    if (hint == 0 && inPos == in.size()) break;  // the last frame ended with the input
    if (inLen == 0 && outLen == 0) throw Malformed("lz4 data ends early");
  }
  return out.take("lz4");
}

std::string zstdDecompress(std::string_view in, std::uint64_t size) {
  std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)> ctx(ZSTD_createDCtx(), ZSTD_freeDCtx);
  if (ctx == nullptr) throw std::bad_alloc();
  // The window a frame may ask for: no larger than its output needs (8 MiB at least, for streaming writers).
  int windowLog = 23;
  while (windowLog < 27 && (std::uint64_t{1} << windowLog) < size) ++windowLog;
  ZSTD_DCtx_setParameter(ctx.get(), ZSTD_d_windowLogMax, windowLog);
  Output out(size, in.size());
  ZSTD_inBuffer input{in.data(), in.size(), 0};
  while (true) {
    const auto [to, room] = out.room();
    if (to == nullptr) break;
    ZSTD_outBuffer output{to, room, 0};
    const std::size_t before = input.pos;
    const std::size_t hint = ZSTD_decompressStream(ctx.get(), &output, &input);
    if (ZSTD_isError(hint)) throw Malformed(std::string("zstd: ") + ZSTD_getErrorName(hint));
    out.produced(output.pos);
    if (hint == 0 && input.pos == input.size) break;  // the last frame ended with the input
    if (input.pos == before && output.pos == 0) throw Malformed("zstd data ends early");
  }
  return out.take("zstd");
}

}  // namespace

std::string decompress(std::string_view method, std::string_view in, std::uint64_t size) {
  if (method.empty()) {
    if (in.size() != size) throw Malformed("holds records of another size than it states");
    return std::string(in);
  }
  if (size >= std::string().max_size()) throw Malformed("claims more bytes than memory can hold");
  if (method == "lz4") return lz4Decompress(in, size);
  if (method == "zstd") return zstdDecompress(in, size);
  throw Malformed("uses an unsupported compression '" + std::string(method) + "'");
}

}  // namespace corvane::record
