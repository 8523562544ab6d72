// The crafted recordings of tests/recordings, each with the outcome expected.txt gives it (craft.py made both),
// and every input that once broke the reader under the fuzzer: a RecordingError naming the file, or messages in
// log-time order, never an allocation sized by what a file claims.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "allocation_probe.hpp"
#include "corvane/record/recording_reader.hpp"

namespace corvane {
namespace {

namespace fs = std::filesystem;

// Far above what any of these files holds, far below what they claim.
constexpr std::size_t kAllocationBound = 64U << 20;

struct Outcome {
  std::size_t messages = 0;
  bool cutShort = false;
  std::size_t chunks = 0, torn = 0;
};

// Reads every message `filter` selects, checking their order.
Outcome readAll(const RecordingReader& reader, const RecordingFilter& filter) {
  Outcome outcome;
  std::uint64_t last = 0;
  reader.forEach(filter, [&](const RecordedMessage& m) {
    EXPECT_GE(m.logTime, last) << "out of log-time order";
    last = m.logTime;
    ++outcome.messages;
  });
  outcome.cutShort = reader.cutShort();
  outcome.chunks = reader.chunks().size();
  outcome.torn = reader.tornBytes();
  return outcome;
}

RecordingFilter filterOf(const std::string& text) {
  RecordingFilter filter;
  std::istringstream in(text);
  std::string topic;
  if (in >> topic >> filter.startTime >> filter.endTime && topic != "-") filter.topics = {topic};
  return filter;
}

TEST(RecordingCorpus, EachCraftedFileHasItsOutcome) {
  testing::allocation::FailLargeAllocations bounded(kAllocationBound);
  std::ifstream table(fs::path(CORVANE_RECORDINGS_DIR) / "expected.txt");
  const std::regex line(
      R"((\S+) \| (refused: (.+)|(\d+) messages(; cut short: (\d+) chunks, (\d+) torn bytes)?.*?)(?: \| (.*))?)");
  std::size_t rows = 0;
  for (std::string text; std::getline(table, text); ++rows) {
    std::smatch row;
    ASSERT_TRUE(std::regex_match(text, row, line)) << text;
    const std::string path = (fs::path(CORVANE_RECORDINGS_DIR) / row[1].str()).string();
    try {
      const Outcome got = readAll(RecordingReader(path), filterOf(row[8]));
      if (row[3].matched) {
        ADD_FAILURE() << row[1] << " read where it must be refused";
        continue;
      }
      EXPECT_EQ(got.messages, std::stoul(row[4])) << row[1];
      EXPECT_EQ(got.cutShort, row[5].matched) << row[1];
      if (row[5].matched) {
        EXPECT_EQ(got.chunks, std::stoul(row[6])) << row[1];
        EXPECT_EQ(got.torn, std::stoul(row[7])) << row[1];
      }
    } catch (const RecordingError& e) {
      EXPECT_TRUE(row[3].matched) << row[1] << " refused: " << e.what();
      EXPECT_NE(std::string(e.what()).find(row[3].str()), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    }
  }
  EXPECT_GE(rows, 25U);
}

// A scan counts the chunks it leaves out and the records it passes over, and reads messages outside chunks in
// runs no longer than the reader's limit: in log-time order, by topic and time.
TEST(RecordingCorpus, ScansCountWhatTheyPassOverAndReadMessagesOutsideChunks) {
  const fs::path dir(CORVANE_RECORDINGS_DIR);
  const RecordingReader crc((dir / "no_summary_chunk_crc_wrong.mcap").string());
  EXPECT_EQ(crc.skipped().chunksFailingCrc, 1U);
  EXPECT_EQ(crc.skipped().chunks(), 1U);
  EXPECT_EQ(crc.statistics().endTime, 1190U);  // the second chunk's messages are not there
  // The first chunk defined the channels: the second one's messages cannot be read, and are counted.
  const RecordingReader definitionsLost((dir / "no_summary_first_chunk_crc_wrong.mcap").string());
  EXPECT_EQ(definitionsLost.skipped().chunksFailingCrc, 1U);
  EXPECT_EQ(definitionsLost.skipped().messagesWithoutChannel, 20U);
  EXPECT_EQ(definitionsLost.statistics().messageCount, 0U);
  RecordingReaderOptions small;
  small.maxRecordSize = 1024;  // the summary fits; the messages take several runs
  for (const char* name : {"unchunked.mcap", "unchunked_no_summary.mcap"}) {
    const RecordingReader reader((dir / name).string(), small);
    EXPECT_EQ(reader.skipped().attachments, 1U) << name;
    EXPECT_EQ(reader.skipped().unknownRecords, 1U) << name;
    EXPECT_EQ(reader.metadataNames(), std::vector<std::string>{"robot"}) << name;
    const RecordingStatistics& stats = reader.statistics();
    EXPECT_EQ(stats.messageCount, 40U);
    EXPECT_EQ(stats.startTime, 1000U);
    EXPECT_EQ(stats.endTime, 1390U);
    EXPECT_EQ(stats.channelMessageCounts, (std::map<std::uint16_t, std::uint64_t>{{1, 20}, {2, 20}}));
    std::vector<std::uint64_t> times, expected;
    reader.forEach({{"/b"}, 1100, 1300}, [&](const RecordedMessage& m) { times.push_back(m.logTime); });
    for (std::uint64_t t = 1110; t < 1300; t += 20) expected.push_back(t);
    EXPECT_EQ(times, expected) << name;
  }
}

TEST(RecordingCorpus, OnceCrashingInputsAreRefusedOrRead) {
  testing::allocation::FailLargeAllocations bounded(kAllocationBound);
  for (const auto& entry : fs::directory_iterator(CORVANE_RECORDING_CRASHERS_DIR)) {
    if (!entry.is_regular_file() || entry.path().extension() == ".md") continue;
    try {
      readAll(RecordingReader(entry.path().string()), {});
    } catch (const RecordingError&) {
    }
  }
}

}  // namespace
}  // namespace corvane
