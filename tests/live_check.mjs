// Watches corvane-live-sample with the Foxglove WebSocket client the open-source viewer uses
// (@foxglove/ws-protocol over `ws`): each subprotocol connects and subscribes, images decoded with
// @foxglove/rosmsg-serialization hold the pixels of the capture they came from, an unknown subprotocol is
// refused, and a viewer that stops reading neither slows the capture loop nor stops another viewer.
//   node live_check.mjs <corvane-live-sample>   (run from a folder whose node_modules holds the packages)
import { spawn } from "node:child_process";
import { once } from "node:events";
import wsProtocol from "@foxglove/ws-protocol";  // CommonJS packages: their default export
import rosmsg from "@foxglove/rosmsg";
import serialization from "@foxglove/rosmsg-serialization";
import WebSocket from "ws";

const { FoxgloveClient } = wsProtocol;
const parseDefinition = rosmsg.parse;
const { MessageReader } = serialization;

const fail = (what) => {
  console.error(`live-check: ${what}`);
  process.exit(1);
};
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
// `promise`, or a failure after `ms`.
const within = (ms, promise, what) => {
  let timer;
  const limit = new Promise(() => { timer = setTimeout(() => fail(`timed out: ${what}`), ms); });
  return Promise.race([promise, limit]).finally(() => clearTimeout(timer));
};

const sample = spawn(process.argv[2], ["40"], { stdio: ["ignore", "pipe", "inherit"] });
sample.on("exit", (code) => code && fail(`the sample exited with ${code}`));
const [line] = await within(30000, once(sample.stdout, "data"), "the sample's port");
const url = `ws://127.0.0.1:${/port (\d+)/.exec(String(line))[1]}/`;

function fnv(bytes) {
  let hash = 2166136261;
  for (let i = 0; i < bytes.length; i++) hash = Math.imul(hash ^ bytes[i], 16777619) >>> 0;
  return hash;
}

// A viewer through FoxgloveClient: subscribes to the topics given (name -> handler(message, channel)).
async function viewer(subprotocol, handlers) {
  const ws = new WebSocket(url, [subprotocol]);
  const client = new FoxgloveClient({ ws });
  const info = new Promise((resolve) => client.on("serverInfo", resolve));
  const subscribed = new Map();  // subscription id -> [handler, channel]
  client.on("advertise", (channels) => {
    for (const channel of channels) {
      if (handlers[channel.topic]) subscribed.set(client.subscribe(channel.id), [handlers[channel.topic], channel]);
    }
  });
  client.on("message", ({ subscriptionId, timestamp, data }) => {
    const [handler, channel] = subscribed.get(subscriptionId) ?? fail(`data for unknown subscription ${subscriptionId}`);
    handler(data, channel, timestamp);
  });
  // Handlers first: serverInfo and advertise may come in one read.
  if (!(await within(10000, info, "serverInfo")).sessionId) fail("serverInfo without a sessionId");
  if (ws.protocol !== subprotocol) fail(`asked for ${subprotocol}, got ${ws.protocol}`);
  return { ws, client };
}

const text = (data) => JSON.parse(new TextDecoder().decode(data));

// Each subprotocol: images equal to their captures.
for (const subprotocol of ["foxglove.websocket.v1", "foxglove.sdk.v1"]) {
  const captured = new Map();  // stamp ns -> fnv of the capture
  const seen = [];             // [stamp ns, fnv] of the decoded images
  let reader;
  const { client } = await viewer(subprotocol, {
    "/check/pixels": (data) => {
      const m = text(data);
      captured.set(BigInt(m.stamp_ns), m.fnv);
    },
    "/World/camera/rgb": (data, channel) => {
      reader ??= new MessageReader(parseDefinition(channel.schema));
      const image = reader.readMessage(data);
      if (image.width !== 640 || image.height !== 480 || image.encoding !== "rgb8") fail("not a 640x480 rgb8 image");
      const stamp = BigInt(image.header.stamp.sec) * 1000000000n + BigInt(image.header.stamp.nsec);
      seen.push([stamp, fnv(image.data)]);
    },
  });
  await within(20000, (async () => {
    while (seen.filter(([stamp]) => captured.has(stamp)).length < 5) await sleep(50);
  })(), `${subprotocol}: five images with their capture's checksum`);
  const compared = seen.filter(([stamp]) => captured.has(stamp));
  const wrong = compared.filter(([stamp, hash]) => captured.get(stamp) !== hash);
  if (wrong.length) fail(`${subprotocol}: ${wrong.length} of ${compared.length} images differ from their capture`);
  console.log(`live-check: ${subprotocol}: ${compared.length} images decoded, pixels equal to the captures`);
  client.close();
}

// An unknown subprotocol is refused with 400.
const refused = new WebSocket(url, ["bogus.v1"]);
const [, response] = await within(5000, once(refused, "unexpected-response"), "the refusal");
if (response.statusCode !== 400) fail(`an unknown subprotocol got ${response.statusCode}, not 400`);

// A stalled viewer: the loop period and a healthy viewer's image rate, before and during the stall.
const loops = [];
let images = 0;
const healthy = await viewer("foxglove.websocket.v1", {
  "/check/loop": (data) => loops.push(text(data)),
  "/World/camera/rgb": () => { images += 1; },
});
const period = async (ms) => {
  const [from, imagesFrom] = [loops.length, images];
  await sleep(ms);
  const window = loops.slice(from).map((l) => l.period_ms).sort((a, b) => a - b);
  return { period: window[Math.floor(window.length / 2)], images: images - imagesFrom };
};
const before = await period(3000);
const stalled = await viewer("foxglove.websocket.v1", { "/World/camera/rgb": () => {} });
await sleep(500);
stalled.ws._socket.pause();  // stops reading: the server's sends to it back up
const during = await period(3000);
await within(10000, (async () => {
  while (!loops.length || loops[loops.length - 1].closed_stalled < 1) await sleep(100);
})(), "the stalled viewer closed");
console.log(`live-check: loop period ${before.period.toFixed(2)} ms alone, ${during.period.toFixed(2)} ms with a ` +
            `stalled viewer; healthy viewer ${before.images} then ${during.images} images in 3 s; stalled viewer closed`);
if (during.period > before.period * 1.5 + 2) fail("the stalled viewer slowed the loop");
if (during.images < before.images * 0.5) fail("the stalled viewer starved the healthy one");
healthy.client.close();
sample.kill();
process.exit(0);
