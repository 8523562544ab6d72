// Writes recordings with @mcap/core's writer, as other MCAP tools make them, for corvane's reader to read back
// (tests/mcap_foreign_check.py): chunked, chunked without statistics, unchunked with a summary and unchunked
// without one, each with attachments and metadata records among the messages. Beside them, written.json: per
// file, the messages in write order (times as strings, data in base64), the metadata names, the attachments.
//   node mcap_foreign.mjs <folder>   (run from a folder whose node_modules holds the @mcap packages)
import { open, writeFile } from "node:fs/promises";
import { McapWriter } from "@mcap/core";
import { FileHandleWritable } from "@mcap/nodejs";

const folder = process.argv[2];
const start = 1_700_000_000_000_000_000n;
const text = (value) => new TextEncoder().encode(value);
const layouts = {
  chunked: { chunkSize: 400 },
  chunked_no_statistics: { chunkSize: 400, useStatistics: false },
  unchunked: { useChunks: false },
  unchunked_no_summary: {
    useChunks: false, useStatistics: false, useSummaryOffsets: false, repeatSchemas: false, repeatChannels: false,
    useAttachmentIndex: false, useMetadataIndex: false, useChunkIndex: false,
  },
};

async function write(name, options) {
  const handle = await open(`${folder}/${name}.mcap`, "w");
  const writer = new McapWriter({ writable: new FileHandleWritable(handle), ...options });
  await writer.start({ profile: "", library: "@mcap/core" });
  const schema = await writer.registerSchema({ name: "Pose", encoding: "jsonschema", data: text('{"type":"object"}') });
  const channels = [
    await writer.registerChannel({ topic: "/pose", schemaId: schema, messageEncoding: "json", metadata: new Map() }),
    await writer.registerChannel({ topic: "/joint", schemaId: schema, messageEncoding: "json", metadata: new Map() }),
    await writer.registerChannel({ topic: "/raw", schemaId: 0, messageEncoding: "octets", metadata: new Map() }),
  ];
  const topics = ["/pose", "/joint", "/raw"];
  const messages = [];
  const extras = async (n) => {
    await writer.addAttachment({ name: `notes${n}.txt`, logTime: start, createTime: start, mediaType: "text/plain", data: text("notes") });
    await writer.addMetadata({ name: n === 1 ? "calibration" : "robot", metadata: new Map([["arm", "ur5"]]) });
  };
  for (let i = 0; i < 60; i += 1) {
    if (i === 20) await extras(1);
    // Every seventh message logged 25 ms before its turn: out of log-time order, as writers allow.
    const logTime = start + BigInt(i) * 10_000_000n - (i % 7 === 6 ? 25_000_000n : 0n);
    const channel = i % 3;
    const data = channel === 2 ? Uint8Array.from({ length: i % 5 }, (_, k) => (i * 7 + k) % 256) : text(`{"i":${i}}`);
    await writer.addMessage({ channelId: channels[channel], sequence: i, logTime, publishTime: logTime + 1n, data });
    messages.push({ topic: topics[channel], logTime: `${logTime}`, publishTime: `${logTime + 1n}`, data: Buffer.from(data).toString("base64") });
  }
  await extras(2);
  await writer.end();
  await handle.close();
  return { messages, metadata: ["calibration", "robot"], attachments: 2, indexed: name === "chunked" };
}

const written = {};
for (const [name, options] of Object.entries(layouts)) written[name] = await write(name, options);
await writeFile(`${folder}/written.json`, JSON.stringify(written));
console.log(`mcap-check: @mcap/core wrote ${Object.keys(written).join(", ")}`);
