// The MCAP writer and reader: the worked example byte for byte, round trips through every compression, indexed
// reading by topic and time, recovery from every cut, checksums and write failures.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "corvane/record/mcap_writer.hpp"
#include "corvane/record/recording_reader.hpp"
#include "expect_throw.hpp"
#include "file_bytes.hpp"
#include "mcap_records.hpp"
#include "temp_dir.hpp"

namespace corvane {
namespace {

namespace fs = std::filesystem;

const char* const kExampleHex[] = {
    "894d434150300d0a",
    "010a0000000000000000000000020000006578",
    "06c900000000000000e803000000000000d007000000000000a100000000000000d0883edd00000000a100000000000000",
    "032d0000000000000001000400000044656d6f0a0000006a736f6e736368656d61110000007b2274797065223a226f626a656374227d",
    "04160000000000000001000100020000002f74040000006a736f6e00000000",
    "051d00000000000000010000000000e803000000000000e8030000000000007b226e223a317d",
    "051d00000000000000010001000000d007000000000000d0070000000000007b226e223a327d",
    "072600000000000000010020000000e8030000000000005500000000000000d0070000000000007b00000000000000",
    "0f040000000000000045854806",
    "032d0000000000000001000400000044656d6f0a0000006a736f6e736368656d61110000007b2274797065223a226f626a656374227d",
    "04160000000000000001000100020000002f74040000006a736f6e00000000",
    "0b3800000000000000020000000000000001000100000000000000000000000100000"
    "0e803000000000000d0070000000000000a00000001000200000000000000",
    "084a00000000000000e803000000000000d0070000000000001b00000000000000d2000000000000000a0000000100ed000000000000002f"
    "0000000000000000000000a100000000000000a100000000000000",
    "0e11000000000000000329010000000000003600000000000000",
    "0e1100000000000000045f010000000000001f00000000000000",
    "0e11000000000000000b7e010000000000004100000000000000",
    "0e110000000000000008bf010000000000005300000000000000",
    "021400000000000000290100000000000012020000000000009c955cd6",
    "894d434150300d0a",
};

std::string exampleBytes() {
  std::string bytes;
  for (const char* line : kExampleHex) {
    for (std::string_view hex(line); !hex.empty(); hex.remove_prefix(2)) {
      bytes.push_back(static_cast<char>(std::stoi(std::string(hex.substr(0, 2)), nullptr, 16)));
    }
  }
  return bytes;
}

void writeFile(const fs::path& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

struct Read {
  std::string topic, data;
  std::uint64_t time;
  bool operator==(const Read& o) const { return topic == o.topic && data == o.data && time == o.time; }
};

std::vector<Read> readAll(const RecordingReader& reader, const RecordingFilter& filter = {}) {
  std::vector<Read> out;
  reader.forEach(filter, [&](const RecordedMessage& m) {
    out.push_back({m.channel->topic, std::string(m.data), m.logTime});
  });
  return out;
}

class McapTest : public testing::TempDirTest {};

TEST_F(McapTest, WritesAndReadsTheWorkedExample) {
  const fs::path path = dir_ / "example.mcap";
  {
    McapWriter writer(path, {Compression::none, 1U << 20, std::chrono::milliseconds(0), "", "ex"});
    const auto schema = writer.addSchema("Demo", "jsonschema", R"({"type":"object"})");
    const auto channel = writer.addChannel("/t", "json", schema);
    writer.write(channel, 1000, 1000, R"({"n":1})");
    writer.write(channel, 2000, 2000, R"({"n":2})");
  }
  const std::string expected = exampleBytes();
  ASSERT_EQ(expected.size(), 671U);
  EXPECT_EQ(testing::fileBytes(path), expected);

  writeFile(dir_ / "given.mcap", expected);
  RecordingReader reader((dir_ / "given.mcap").string());
  EXPECT_TRUE(reader.indexed());
  EXPECT_EQ(reader.library(), "ex");
  EXPECT_EQ(reader.schemas().at(1).name, "Demo");
  EXPECT_EQ(reader.statistics().messageCount, 2U);
  EXPECT_EQ(readAll(reader), (std::vector<Read>{{"/t", R"({"n":1})", 1000}, {"/t", R"({"n":2})", 2000}}));
}

// Three topics written out of time order into many small chunks.
std::vector<Read> writeMixed(const fs::path& path, Compression compression) {
  McapWriter writer(path, {compression, 200, std::chrono::milliseconds(0), "", "corvane"});
  const auto json = writer.addSchema("Thing", "jsonschema", R"({"type":"object"})");
  const std::uint16_t channels[] = {writer.addChannel("/a", "json", json), writer.addChannel("/b", "json", json),
                                    writer.addChannel("/c", "octets", 0)};
  std::vector<Read> written;
  for (std::uint64_t i = 0; i < 60; ++i) {
    const std::uint64_t time = 1000 + i * 10 - (i % 4 == 3 ? 25 : 0);
    const std::string topic = std::string("/") + static_cast<char>('a' + i % 3);
    const std::string data = R"({"i":)" + std::to_string(i) + "}" + std::string(i % 7 * 5, 'x');
    writer.write(channels[i % 3], time, time, data);
    written.push_back({topic, data, time});
  }
  writer.close();
  std::stable_sort(written.begin(), written.end(), [](const Read& a, const Read& b) { return a.time < b.time; });
  return written;
}

TEST_F(McapTest, RoundTripsEveryCompressionByTopicAndTime) {
  for (Compression c : {Compression::none, Compression::lz4, Compression::zstd}) {
    const fs::path path = dir_ / "mixed.mcap";
    const auto written = writeMixed(path, c);
    RecordingReader reader(path.string());
    ASSERT_TRUE(reader.indexed());
    EXPECT_GT(reader.chunks().size(), 5U);
    EXPECT_EQ(reader.statistics().messageCount, 60U);
    EXPECT_EQ(readAll(reader), written);

    RecordingFilter filter{{"/b", "/c"}, 1200, 1400};
    std::vector<Read> expected;
    std::copy_if(written.begin(), written.end(), std::back_inserter(expected),
                 [&](const Read& r) { return r.topic != "/a" && r.time >= 1200 && r.time < 1400; });
    EXPECT_FALSE(expected.empty());
    EXPECT_EQ(readAll(reader, filter), expected);
  }
}

TEST_F(McapTest, ChunksThatExpandManyTimesDecompressWhole) {
  // 200 copies of 20 KB of noise: LZ4 blocks refer back into earlier ones, across the pieces the output grows in.
  std::string block(20'000, '\0');
  std::uint32_t state = 1;
  for (char& c : block) c = static_cast<char>((state = state * 1103515245 + 12345) >> 24);
  std::string message;
  for (int i = 0; i < 200; ++i) message += block;
  for (Compression c : {Compression::lz4, Compression::zstd}) {
    const fs::path path = dir_ / "large.mcap";
    {
      McapWriter writer(path, {c, 8U << 20, std::chrono::milliseconds(0), "", "corvane"});
      writer.write(writer.addChannel("/big", "octets", 0), 1, 1, message);
    }
    ASSERT_LT(fs::file_size(path) * 16, message.size());
    EXPECT_EQ(readAll(RecordingReader(path.string())), (std::vector<Read>{{"/big", message, 1}}));
  }
}

TEST_F(McapTest, RecoversEveryCompleteChunkOfAFileCutShort) {
  for (Compression c : {Compression::none, Compression::lz4}) {
    const fs::path path = dir_ / "whole.mcap";
    const auto written = writeMixed(path, c);
    const std::string whole = testing::fileBytes(path);
    std::size_t previous = 0;
    const std::size_t headerEnd = testing::findRecord(whole, record::kHeader).end();
    for (std::size_t cut = 8; cut < whole.size(); cut += 29) {
      writeFile(dir_ / "cut.mcap", std::string_view(whole).substr(0, cut));
      if (cut < headerEnd) {  // without its header, it is not a recording
        EXPECT_THROW(RecordingReader((dir_ / "cut.mcap").string()), RecordingError);
        continue;
      }
      RecordingReader reader((dir_ / "cut.mcap").string());
      ASSERT_TRUE(reader.cutShort());
      ASSERT_FALSE(reader.indexed());
      std::size_t complete = 0;  // messages in chunks that end before the cut
      for (const auto& chunk : reader.chunks()) complete += chunk.offset + chunk.length <= cut ? 1 : 0;
      ASSERT_EQ(complete, reader.chunks().size());
      const auto read = readAll(reader);
      ASSERT_GE(read.size(), previous) << "cut at " << cut;
      previous = read.size();
      for (const auto& r : read) ASSERT_NE(std::find(written.begin(), written.end(), r), written.end());
    }
    EXPECT_EQ(previous, written.size());  // cut within the summary: every chunk is back
  }
}

TEST_F(McapTest, RejectsDamageAndReportsWriteFailures) {
  const fs::path path = dir_ / "flip.mcap";
  std::string bytes = exampleBytes();
  bytes[testing::findRecord(bytes, record::kMessage).body() + record::kMessageFields] ^= 0x01;  // inside the chunk
  writeFile(path, bytes);
  RecordingReader damaged(path.string());
  EXPECT_THROW_CONTAINING(readAll(damaged), RecordingError, "CRC");
  bytes = exampleBytes();
  bytes[testing::findRecord(bytes, record::kStatistics).body()] ^= 0x01;  // inside the summary
  writeFile(path, bytes);
  EXPECT_THROW_CONTAINING(RecordingReader(path.string()), RecordingError, "summary fails its CRC");
  writeFile(path, "not a recording");
  EXPECT_THROW_CONTAINING(RecordingReader(path.string()), RecordingError, "not an MCAP file");

  EXPECT_THROW_CONTAINING(McapWriter((dir_ / "missing" / "x.mcap").string()), RecordingError,
                          "cannot create " + (dir_ / "missing" / "x.mcap").string());
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  McapWriter full("/dev/full", {Compression::none, 1U << 20, std::chrono::milliseconds(0), "", "corvane"});
  const auto channel = full.addChannel("/t", "json", 0);
  full.write(channel, 1, 1, "{}");
  EXPECT_THROW_CONTAINING(full.closeChunk(), RecordingError, "No space left on device");
  EXPECT_THROW_CONTAINING(full.write(channel, 2, 2, "{}"), RecordingError, "No space left on device");
  EXPECT_THROW_CONTAINING(full.close(), RecordingError, "No space left on device");
}

}  // namespace
}  // namespace corvane
