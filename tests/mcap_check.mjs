// Reads the sample recordings with @mcap/core, an MCAP reader independent of corvane's: each complete file
// through its indexed reader (summary and chunk CRCs checked), the cut one through its streaming reader.
//   node mcap_check.mjs <folder>   (run from a folder whose node_modules holds the @mcap packages)
import { open } from "node:fs/promises";
import { readFile } from "node:fs/promises";
import { McapIndexedReader, McapStreamReader } from "@mcap/core";
import { FileHandleReadable } from "@mcap/nodejs";
import { loadDecompressHandlers } from "@mcap/support";

const folder = process.argv[2];
const decompressHandlers = await loadDecompressHandlers();
const fail = (what) => {
  console.error(`mcap-check: ${what}`);
  process.exit(1);
};
const expectedSchemas = {
  "/World/camera/rgb": "sensor_msgs/Image",
  "/World/camera/ids": "corvane_msgs/NDArray",
  "/step/observation/rgb": "sensor_msgs/Image",
  "/step/observation/state": "corvane_msgs/NDArray",
};
const sampleMessages = 40 * 5 + 4 * 3; // the session's, and 4 steps of 3

for (const name of ["none", "lz4", "zstd"]) {
  const handle = await open(`${folder}/${name}.mcap`);
  const reader = await McapIndexedReader.Initialize({ readable: new FileHandleReadable(handle), decompressHandlers });
  if (reader.chunkIndexes.length < 2) fail(`${name}: ${reader.chunkIndexes.length} chunk indexes`);
  const wanted = name === "none" ? "" : name;
  if (reader.chunkIndexes.some((c) => c.compression !== wanted)) fail(`${name}: chunks not compressed with ${wanted}`);
  const topics = new Map([...reader.channelsById.values()].map((c) => [c.id, c]));
  for (const [topic, schemaName] of Object.entries(expectedSchemas)) {
    const channel = [...topics.values()].find((c) => c.topic === topic);
    const schema = channel && reader.schemasById.get(channel.schemaId);
    if (!schema || schema.name !== schemaName || schema.encoding !== "ros1msg" || channel.messageEncoding !== "ros1") {
      fail(`${name}: ${topic} is not ${schemaName} in ros1`);
    }
  }
  let count = 0;
  let last = 0n;
  for await (const message of reader.readMessages()) {
    if (message.logTime < last) fail(`${name}: messages out of time order`);
    last = message.logTime;
    count += 1;
  }
  if (BigInt(count) !== reader.statistics.messageCount || count !== sampleMessages) {
    fail(`${name}: read ${count} messages, statistics say ${reader.statistics.messageCount}`);
  }
  let images = 0;
  const rgb = [...topics.values()].find((c) => c.topic === "/World/camera/rgb");
  const start = reader.statistics.messageStartTime;
  for await (const message of reader.readMessages({ topics: ["/World/camera/rgb"], startTime: start, endTime: start + 100_000_000n })) {
    if (message.channelId !== rgb.id) fail(`${name}: a message of another topic`);
    images += 1;
  }
  if (images !== 3) fail(`${name}: ${images} rgb images in the first 100 ms, not 3`);
  await handle.close();
  console.log(`mcap-check: ${name}: ${count} messages in ${reader.chunkIndexes.length} chunks, indexed, CRCs checked`);
}

const stream = new McapStreamReader({ decompressHandlers, validateCrcs: true });
stream.append(await readFile(`${folder}/cut.mcap`));
let messages = 0;
for (let record; (record = stream.nextRecord()) !== undefined; ) {
  if (record.type === "Message") messages += 1;
}
if (stream.done() || messages === 0 || messages >= sampleMessages) fail(`cut file: ${messages} messages, done ${stream.done()}`);
console.log(`mcap-check: cut: ${messages} messages from complete chunks, ${stream.bytesRemaining()} torn bytes left`);

// The encoded channels: the schemas parse as FileDescriptorSets naming Foxglove's messages with their field
// numbers, and the messages decode by them (h264 first a keyframe in Annex B, jpeg a JPEG).
function protobufFields(bytes) {
  const fields = [];
  let pos = 0;
  const varint = () => {
    let value = 0n;
    for (let shift = 0n; ; shift += 7n) {
      const byte = bytes[pos++];
      value |= BigInt(byte & 0x7f) << shift;
      if (!(byte & 0x80)) return value;
    }
  };
  while (pos < bytes.length) {
    const key = Number(varint());
    const wire = key & 7;
    if (wire === 0) fields.push([key >> 3, varint()]);
    else if (wire === 2) {
      const length = Number(varint());
      fields.push([key >> 3, bytes.subarray(pos, pos + length)]);
      pos += length;
    } else fail(`protobuf wire type ${wire}`);
  }
  return fields;
}
const text = (bytes) => new TextDecoder().decode(bytes);
const field = (fields, number) => fields.find(([n]) => n === number)?.[1];

// FileDescriptorSet.file(1) -> FileDescriptorProto: package(2), message_type(4) -> DescriptorProto: name(1),
// field(2) -> FieldDescriptorProto: name(1), number(3), type(5), type_name(6).
function messageFields(schemaData, fullName) {
  for (const [number, file] of protobufFields(schemaData)) {
    if (number !== 1) continue;
    const fileFields = protobufFields(file);
    const pkg = text(field(fileFields, 2) ?? new Uint8Array());
    for (const [n, message] of fileFields) {
      if (n !== 4) continue;
      const m = protobufFields(message);
      if (`${pkg}.${text(field(m, 1))}` !== fullName) continue;
      const out = {};
      for (const [k, f] of m) {
        if (k !== 2) continue;
        const ff = protobufFields(f);
        out[text(field(ff, 1))] = { number: Number(field(ff, 3)), type: Number(field(ff, 5)), typeName: text(field(ff, 6) ?? new Uint8Array()) };
      }
      return out;
    }
  }
  return undefined;
}

{
  const handle = await open(`${folder}/video.mcap`);
  const reader = await McapIndexedReader.Initialize({ readable: new FileHandleReadable(handle), decompressHandlers });
  const wanted = { "/World/camera/rgb": ["foxglove.CompressedVideo", "h264"], "/World/camera/jpeg": ["foxglove.CompressedImage", "jpeg"] };
  const layouts = {};
  for (const channel of reader.channelsById.values()) {
    if (!wanted[channel.topic]) continue;
    const schema = reader.schemasById.get(channel.schemaId);
    const [name] = wanted[channel.topic];
    if (schema.name !== name || schema.encoding !== "protobuf" || channel.messageEncoding !== "protobuf") {
      fail(`video: ${channel.topic} is ${schema.name} [${schema.encoding}] in ${channel.messageEncoding}`);
    }
    const fields = messageFields(schema.data, name);
    if (!fields) fail(`video: the schema of ${channel.topic} does not name ${name}`);
    if (fields.timestamp?.typeName !== ".google.protobuf.Timestamp" || fields.data?.type !== 12 || fields.format?.type !== 9 || fields.frame_id?.type !== 9) {
      fail(`video: ${name} fields ${JSON.stringify(fields)}`);
    }
    if (!messageFields(schema.data, "google.protobuf.Timestamp")) fail(`video: ${name} without its Timestamp`);
    layouts[channel.id] = { topic: channel.topic, fields, format: wanted[channel.topic][1], count: 0 };
  }
  if (Object.keys(layouts).length !== 2) fail("video: the h264 and jpeg channels are not both there");
  for await (const message of reader.readMessages()) {
    const layout = layouts[message.channelId];
    if (!layout) continue;
    const fields = protobufFields(message.data);
    const data = field(fields, layout.fields.data.number);
    if (text(field(fields, layout.fields.format.number)) !== layout.format) fail(`video: ${layout.topic} format`);
    if (layout.format === "h264" && layout.count === 0) {
      const start = [0, 0, 0, 1, 0x67].every((b, i) => data[i] === b);
      const idr = data.some((b, i) => i > 2 && data[i - 1] === 1 && data[i - 2] === 0 && data[i - 3] === 0 && (b & 0x1f) === 5);
      if (!start || !idr) fail("video: the first h264 message is not an Annex B keyframe with its SPS first");
    }
    if (layout.format === "jpeg" && (data[0] !== 0xff || data[1] !== 0xd8)) fail("video: a jpeg message is no JPEG");
    layout.count += 1;
  }
  for (const layout of Object.values(layouts)) {
    if (layout.count !== 30) fail(`video: ${layout.topic} has ${layout.count} messages, not 30`);
  }
  await handle.close();
  console.log(`mcap-check: video: h264 and jpeg channels in ${reader.chunkIndexes.length} chunks, schemas parsed as FileDescriptorSets, CRCs checked`);
}
