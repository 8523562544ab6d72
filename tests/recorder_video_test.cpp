// Encoded camera channels: a textured bridge recorded as H.264, JPEG and PNG, checked by Debian's ffprobe (one
// frame per message, keyframes where promised) and decoded back within the quality bound.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>

#include <gtest/gtest.h>

#include "corvane/record/recorder.hpp"
#include "corvane/record/recording_reader.hpp"
#include "instrumented.hpp"
#include "media/image_codec.hpp"
#include "media/mp4_writer.hpp"
#include "media/video_decoder.hpp"
#include "render.hpp"
#include "sim_bridge.hpp"
#include "temp_dir.hpp"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The fields of a protobuf message: number -> bytes of each length-delimited field (varints skipped).
std::map<unsigned, std::string_view> protobufFields(std::string_view data) {
  std::map<unsigned, std::string_view> fields;
  std::size_t pos = 0;
  const auto varint = [&] {
    std::uint64_t value = 0;
    for (int shift = 0; pos < data.size(); shift += 7) {
      const auto byte = static_cast<std::uint8_t>(data[pos++]);
      value |= std::uint64_t(byte & 0x7f) << shift;
      if ((byte & 0x80) == 0) break;
    }
    return value;
  };
  while (pos < data.size()) {
    const std::uint64_t key = varint();
    if ((key & 7) == 0) {
      varint();
    } else {
      const std::uint64_t size = varint();
      fields[static_cast<unsigned>(key >> 3)] = data.substr(pos, size);
      pos += size;
    }
  }
  return fields;
}

// Valgrind gives up translating SVT-AV1's vector code ("VEX temporary storage exhausted").
constexpr const char* kValgrindCannotRunAv1 = "valgrind cannot run the AV1 encoder";

// The NAL unit types of an Annex B stream, in order.
std::string nalTypes(std::string_view data) {
  std::string types;
  for (std::size_t i = 3; i < data.size(); ++i) {
    if (data[i - 1] == 1 && data[i - 2] == 0 && data[i - 3] == 0) types += char('0' + (data[i] & 0x1f));
  }
  return types;
}

std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  ::pclose(pipe);
  return out;
}

double psnr(const std::vector<std::uint8_t>& a, const std::vector<std::byte>& b) {
  double sum = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const double d = double(a[i]) - double(std::to_integer<int>(b[i]));
    sum += d * d;
  }
  return sum == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / (sum / double(a.size())));
}

struct Recorded {
  std::vector<std::vector<std::byte>> raw;  // the rgb captures, as the client got them
  std::vector<std::string> payloads;        // the rgb channel's messages
  std::vector<std::uint64_t> times;
  std::string schema, depthSchema;
  std::uint64_t counted = 0, inFile = 0;  // messages: the recorder's stats once closed, the file's summary
};

class RecorderVideoTest : public testing::TempDirTest {
 protected:
  // Captures `count` textured 640 x 480 frames into a recording made with `options`, and reads it back.
  Recorded record(RecorderOptions options, int count) {
    bridge_sim::ServerOptions server;
    server.textured = true;
    testing::SimBridge bridge(server);
    const std::string path = (dir_ / "video.mcap").string();
    Recorded out;
    {
      Recorder recorder(path, options);
      IsaacSimClient client = bridge.observedClient(recorder.observer(), "video");
      client.articulation.create("/World/arm");
      client.camera.create("/World/cam", std::vector<int>{640, 480});
      for (int i = 0; i < count; ++i) {
        CameraFrame frame = client.camera.capture("/World/cam");
        out.raw.push_back(frame.output("rgb")->data);
      }
      recorder.close();
    }
    read(path, out);
    return out;
  }

  // Records `count` textured 640 x 480 frames rendered 1/30 s apart (the arm's links sweeping), as a camera's
  // rgb and depth outputs, and reads them back: the keyframes then fall at known frames.
  Recorded recordRendered(RecorderOptions options, int count) {
    const std::string path = (dir_ / "rendered.mcap").string();
    Recorded out;
    {
      Recorder recorder(path, options);
      const auto observer = recorder.observer();
      const std::vector<std::size_t> rgbShape{480, 640, 3}, depthShape{480, 640};
      const nlohmann::json structure = {{"rgb", {{"__ndarray__", 0}}}, {"depth", {{"__ndarray__", 1}}}};
      const auto base = std::chrono::system_clock::time_point(std::chrono::seconds(1700000000));
      std::vector<std::byte> depth(640 * 480 * 4);
      for (int i = 0; i < count; ++i) {
        bridge_sim::RenderInput input;
        input.width = 640;
        input.height = 480;
        input.camera.position = {-1.5, 0, 1.0};
        input.camera.orientation = bridge_sim::axisAngle({0, 1, 0}, 0.45);
        input.textured = true;
        input.time = i / 30.0;
        input.step = static_cast<std::uint64_t>(i) * 4;
        const bridge_sim::Vec3 elbow{0.3 * std::cos(0.05 * i), 0.3 * std::sin(0.05 * i), 0.5};
        input.capsules.push_back({{0, 0, 0}, elbow, 0.06, {200, 90, 40}, 2});
        input.capsules.push_back({elbow, {0.5, -0.2 + 0.01 * i, 0.3}, 0.05, {60, 120, 210}, 3});
        out.raw.emplace_back(640 * 480 * 3);
        bridge_sim::render(input,
                           {reinterpret_cast<char*>(out.raw.back().data()), reinterpret_cast<char*>(depth.data())});
        const auto at = base + std::chrono::microseconds(33333 * i);
        observer->onFrame({"/World/cam",
                           &structure,
                           {{"rgb", &rgbShape, "uint8", out.raw.back().data(), out.raw.back().size()},
                            {"depth", &depthShape, "float32", depth.data(), depth.size()}},
                           at,
                           at});
      }
      recorder.close();
      out.counted = recorder.stats().messages;
    }
    read(path, out);
    return out;
  }

  static void read(const std::string& path, Recorded& out) {
    RecordingReader reader(path);
    out.inFile = reader.statistics().messageCount;
    for (const auto& [id, channel] : reader.channels()) {
      if (channel.schemaId == 0) continue;
      const std::string& schema = reader.schemas().at(channel.schemaId).name;
      if (channel.topic == "/World/cam/rgb") out.schema = schema + " " + channel.messageEncoding;
      if (channel.topic == "/World/cam/depth") out.depthSchema = schema;
    }
    reader.forEach({{"/World/cam/rgb"}}, [&](const RecordedMessage& m) {
      out.payloads.emplace_back(m.data);
      out.times.push_back(m.logTime);
    });
  }
};

TEST_F(RecorderVideoTest, H264ChannelIsOneFramePerMessageWithKeyframesOnTimeAndDecodesWithinTheBound) {
  RecorderOptions options;
  options.video = VideoFormat::h264;
  options.keyframeInterval = 500ms;
  const Recorded r = recordRendered(options, 40);
  EXPECT_EQ(r.schema, "foxglove.CompressedVideo protobuf");
  EXPECT_EQ(r.depthSchema, "sensor_msgs/Image");  // depth stays lossless
  ASSERT_EQ(r.payloads.size(), 40U);

  // Each message: one frame, decoded on its own call; the stream as a whole: ffprobe finds as many frames.
  const fs::path stream = dir_ / "rgb.h264";
  std::ofstream file(stream, std::ios::binary);
  media::VideoDecoder decoder(media::VideoCodec::h264);
  std::vector<bool> keyframes;
  double worst = 99;
  for (std::size_t i = 0; i < r.payloads.size(); ++i) {
    const auto fields = protobufFields(r.payloads[i]);
    ASSERT_EQ(fields.at(4), "h264");
    ASSERT_EQ(fields.at(2), "/World/cam");
    const std::string_view data = fields.at(3);
    file.write(data.data(), static_cast<std::streamsize>(data.size()));
    keyframes.push_back(media::isH264Keyframe(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()));
    const std::string types = nalTypes(data);
    if (keyframes.back()) {
      EXPECT_LT(types.find('7'), types.find('5')) << "SPS before the IDR slice of message " << i;
      EXPECT_LT(types.find('8'), types.find('5')) << "PPS before the IDR slice of message " << i;
    }
    std::vector<std::uint8_t> rgb;
    EXPECT_EQ(decoder.decode(data,
                             [&](int w, int h) {
                               rgb.resize(std::size_t(w) * h * 3);
                               return rgb.data();
                             }),
              1);
    worst = std::min(worst, psnr(rgb, r.raw[i]));
  }
  file.close();
  EXPECT_GE(worst, 35.0);

  // The first message is a keyframe, then the first one 500 ms or more after the last: frames 0, 16 and 32 of
  // frames 33.333 ms apart.
  ASSERT_TRUE(keyframes[0]);
  EXPECT_TRUE(keyframes[16]);
  EXPECT_TRUE(keyframes[32]);
  EXPECT_EQ(std::count(keyframes.begin(), keyframes.end(), true), 3);

  const std::string probe =
      "ffprobe -v error -count_frames -select_streams v:0 -show_entries frame=key_frame "
      "-of csv=p=0 " +
      stream.string();
  std::string expected, probed;
  for (const bool key : keyframes) expected += key ? '1' : '0';
  for (const char c : run(probe)) {
    if (c == '0' || c == '1') probed += c;  // one key_frame flag a frame (other lines: the SEI's side data)
  }
  EXPECT_EQ(probed, expected);  // as many frames as messages, keyframes where the messages hold IDRs
}

// SVT-AV1 takes no keyframe on request in low-delay mode: the channel's keyframes must still come on time.
TEST_F(RecorderVideoTest, Av1ChannelHasEveryFrameAndKeyframesOnTime) {
  if (testing::underValgrind()) GTEST_SKIP() << kValgrindCannotRunAv1;
  RecorderOptions options;
  options.video = VideoFormat::av1;
  options.keyframeInterval = 500ms;
  const Recorded r = recordRendered(options, 40);
  ASSERT_EQ(r.payloads.size(), 40U);
  std::vector<std::size_t> keyframes;
  for (std::size_t i = 0; i < r.payloads.size(); ++i) {
    const std::string_view data = protobufFields(r.payloads[i]).at(3);
    if (media::isAv1Keyframe(reinterpret_cast<const std::uint8_t*>(data.data()), data.size())) keyframes.push_back(i);
  }
  EXPECT_EQ(keyframes, (std::vector<std::size_t>{0, 16, 32}));
  EXPECT_EQ(r.counted, r.inFile) << "the frames the encoder held until the end are counted too";
}

TEST_F(RecorderVideoTest, JpegAndPngChannelsAreCompressedImagesWithinTheirBounds) {
  for (const VideoFormat format : {VideoFormat::jpeg, VideoFormat::png}) {
    RecorderOptions options;
    options.videoByOutput["rgb"] = format;  // per output; the default stays raw
    const Recorded r = record(options, 3);
    EXPECT_EQ(r.schema, "foxglove.CompressedImage protobuf");
    ASSERT_EQ(r.payloads.size(), 3U);
    for (std::size_t i = 0; i < r.payloads.size(); ++i) {
      const auto fields = protobufFields(r.payloads[i]);
      EXPECT_EQ(fields.at(3), format == VideoFormat::jpeg ? "jpeg" : "png");
      EXPECT_EQ(fields.at(4), "/World/cam");
      std::vector<std::uint8_t> rgb;
      media::decodeImage(fields.at(2), [&](int w, int h) {
        rgb.resize(std::size_t(w) * h * 3);
        return rgb.data();
      });
      if (format == VideoFormat::png) {
        EXPECT_EQ(psnr(rgb, r.raw[i]), 99.0);  // lossless
      } else {
        EXPECT_GE(psnr(rgb, r.raw[i]), 37.5);  // quality 90 on this render: 37.9 dB measured
        EXPECT_LT(fields.at(2).size() * 4, r.raw[i].size());
      }
    }
  }
}

TEST_F(RecorderVideoTest, Mp4FilesKeepEveryFrameAtItsOwnTime) {
  media::VideoEncoderOptions options;
  options.width = 64;
  options.height = 48;
  options.globalHeader = true;
  media::VideoEncoder encoder(options);
  const fs::path path = dir_ / "out.mp4";
  media::Mp4Writer mp4(path.string(), encoder);
  std::vector<std::uint8_t> rgb(64 * 48 * 3);
  const std::int64_t times[] = {0, 33333, 70000, 100001, 140000, 166666};
  for (int i = 0; i < 6; ++i) {
    for (std::size_t b = 0; b < rgb.size(); ++b) rgb[b] = static_cast<std::uint8_t>(b * 7 + i * 40);
    for (const auto& frame : encoder.encode(rgb.data(), i, i == 0)) mp4.write(frame, times[frame.pts]);
  }
  mp4.close();
  EXPECT_EQ(
      run("ffprobe -v error -select_streams v:0 -show_entries packet=pts_time,flags -of csv=p=0 " + path.string()),
      "0.000000,K_\n0.033333,__\n0.070000,__\n0.100001,__\n0.140000,__\n0.166666,__\n");
}

// A player that seeks or lets a viewer join mid-stream starts at a keyframe it finds in the packets alone.
TEST_F(RecorderVideoTest, KeyframesAreFoundInThePacketsOfEitherCodec) {
  for (const auto codec : {media::VideoCodec::h264, media::VideoCodec::av1}) {
    if (codec == media::VideoCodec::av1 && testing::underValgrind()) continue;  // see kValgrindCannotRunAv1
    media::VideoEncoderOptions options;
    options.codec = codec;
    options.width = options.height = 64;
    options.keyframeInterval = 4;
    if (codec == media::VideoCodec::av1) options.preset = "12";
    media::VideoEncoder encoder(options);
    std::vector<media::EncodedFrame> frames;
    std::vector<std::uint8_t> rgb(64 * 64 * 3);
    for (int i = 0; i < 10; ++i) {
      for (std::size_t b = 0; b < rgb.size(); ++b) rgb[b] = static_cast<std::uint8_t>(b * 3 + i * 25);
      for (auto& frame : encoder.encode(rgb.data(), i)) frames.push_back(std::move(frame));
    }
    for (auto& frame : encoder.flush()) frames.push_back(std::move(frame));
    ASSERT_EQ(frames.size(), 10U) << media::codecName(codec);
    int keyframes = 0;
    for (const auto& frame : frames) {
      const auto* bytes = reinterpret_cast<const std::uint8_t*>(frame.data.data());
      EXPECT_EQ(media::isKeyframe(codec, bytes, frame.data.size()), frame.keyframe)
          << media::codecName(codec) << " frame " << frame.pts;
      keyframes += frame.keyframe ? 1 : 0;
    }
    EXPECT_TRUE(frames.front().keyframe);
    EXPECT_GE(keyframes, 2) << media::codecName(codec);
    EXPECT_LT(keyframes, 10) << media::codecName(codec);
  }
}

}  // namespace
}  // namespace corvane
