// Writes the reader's seed recordings into the folder given as the only argument: the writer's own output for
// each compression, whole, without its summary (cut where the summary starts), cut short inside a chunk, and
// whole without its checksums.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "corvane/record/mcap_writer.hpp"
#include "record/mcap_layout.hpp"

namespace {

using corvane::Compression;

// Two topics, one with a schema, over three small chunks; returns the size of the data section.
std::string writeSample(const std::string& path, Compression compression) {
  corvane::McapWriter writer(path, {compression, 160, std::chrono::milliseconds(0), "", "corvane"});
  const auto schema = writer.addSchema("Thing", "jsonschema", R"({"type":"object"})");
  const std::uint16_t channels[] = {writer.addChannel("/a", "json", schema), writer.addChannel("/b", "octets", 0)};
  for (std::uint64_t i = 0; i < 12; ++i) {
    const std::uint64_t time = 1000 + i * 10 - (i % 4 == 3 ? 15 : 0);
    writer.write(channels[i % 2], time, time, R"({"i":)" + std::to_string(i) + "}");
  }
  writer.close();
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The same file without its checksums (0: not computed), so that mutations inside chunks and the summary get
// past them.
std::string withoutCrcs(std::string bytes) {
  namespace layout = corvane::record;
  std::size_t pos = layout::kMagic.size();
  while (pos + layout::kRecordPrefix <= bytes.size()) {
    std::uint64_t length = 0;
    for (int i = 0; i < 8; ++i) length |= std::uint64_t{static_cast<unsigned char>(bytes[pos + 1 + i])} << (8 * i);
    if (length > bytes.size() - pos - layout::kRecordPrefix) break;
    const auto op = static_cast<std::uint8_t>(bytes[pos]);
    const std::size_t body = pos + layout::kRecordPrefix;
    if (op == layout::kChunk) bytes.replace(body + layout::kChunkCrcAt, 4, 4, '\0');
    if (op == layout::kFooter || op == layout::kDataEnd) bytes.replace(body + length - 4, 4, 4, '\0');  // CRC last
    pos = body + length;
  }
  return bytes;
}

bool save(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
    return 2;
  }
  const std::string folder = argv[1];
  const std::pair<Compression, const char*> compressions[] = {
      {Compression::none, "none"}, {Compression::lz4, "lz4"}, {Compression::zstd, "zstd"}};
  for (const auto& [compression, name] : compressions) {
    const std::string whole = writeSample(folder + "/whole_" + name, compression);
    std::uint64_t summaryStart = 0;  // the footer's first field
    const std::size_t footerBody = whole.size() - corvane::record::kFileTail + corvane::record::kRecordPrefix;
    for (int i = 0; i < 8; ++i)
      summaryStart |= std::uint64_t{static_cast<unsigned char>(whole[footerBody + i])} << (8 * i);
    const bool saved = save(folder + "/no_summary_" + name, whole.substr(0, summaryStart)) &&
                       save(folder + "/cut_short_" + name, whole.substr(0, summaryStart * 2 / 3)) &&
                       save(folder + "/no_crcs_" + name, withoutCrcs(whole));
    if (!saved) {
      std::fprintf(stderr, "cannot write into %s\n", folder.c_str());
      return 1;
    }
  }
  return 0;
}
