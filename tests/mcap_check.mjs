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
