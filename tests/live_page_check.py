"""Opens the live server's page in headless Chromium, served by corvane-live-sample, and checks it works: the
topic list is filled, the canvas shows the camera and the joint plot has points, with no console error. The
camera is checked against the capture it came from, as the sample publishes it on /check/pixels: raw and PNG
images by their checksum (equal pixels), video and JPEG by their mean colour (within LOSSY_MEAN).

    live_page_check.py <corvane-live-sample> [none|png|jpeg|h264|av1 ...]   (default: none)
"""

import json
import os
import re
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "docs"))
from check_site import Browser, problems_of  # noqa: E402  (the site check's Chromium driver)

# Run in the page: a snapshot of the canvas and the stamp of the image drawn on it, compared with the
# checksum of that capture, which a second connection reads from /check/pixels.
SNAPSHOT = """
new Promise((resolve) => {
  const captured = new Map();  // stamp -> checksum, from /check/pixels
  const snapshot = () => {
    const canvas = document.getElementById("image");
    const rgba = canvas.getContext("2d").getImageData(0, 0, canvas.width, canvas.height).data;
    let hash = 2166136261;
    for (let i = 0; i < rgba.length; i++) if (i % 4 !== 3) hash = Math.imul(hash ^ rgba[i], 16777619) >>> 0;
    const mean = [0, 0, 0];
    for (let i = 0; i < rgba.length; i++) if (i % 4 !== 3) mean[i % 4] += rgba[i] / (rgba.length / 4);
    return { stamp: window.corvaneLive.image.stamp, hash, mean };
  };
  const ws = new WebSocket(`ws://${location.host}/`, ["foxglove.websocket.v1"]);
  ws.binaryType = "arraybuffer";
  let last = null;
  const done = (result) => { ws.close(); clearInterval(timer); resolve(JSON.stringify(result)); };
  const timer = setInterval(() => {  // until a snapshot's capture has come in on /check/pixels
    if (!captured.size) return;
    last = snapshot();
    if (captured.has(last.stamp)) done({ ...last, captured: captured.get(last.stamp) });
  }, 100);
  setTimeout(() => done({ ...last, captured: null }), 15000);
  ws.onmessage = (event) => {
    if (typeof event.data === "string") {
      for (const c of JSON.parse(event.data).channels || []) {
        if (c.topic === "/check/pixels") ws.send(JSON.stringify({ op: "subscribe", subscriptions: [{ id: 1, channelId: c.id }] }));
      }
      return;
    }
    const m = JSON.parse(new TextDecoder().decode(new Uint8Array(event.data, 13)));
    captured.set(String(m.stamp_ns), { hash: m.fnv, mean: m.mean });
  };
})
"""


def evaluate(browser: Browser, session: str, expression: str, timeout: float = 30.0) -> object:
    result = browser.send("Runtime.evaluate", {"expression": expression, "returnByValue": True, "awaitPromise": True},
                          session=session, timeout=timeout)
    return result.get("result", {}).get("value")


LOSSY_MEAN = 3.0  # the most a lossy format may move a colour channel's mean, in levels of 255


def main() -> int:
    return max(run(sys.argv[1], video) for video in (sys.argv[2:] or ["none"]))


def run(sample_path: str, video: str) -> int:
    sample = subprocess.Popen([sample_path, "60", video], stdout=subprocess.PIPE, text=True)
    try:
        port = re.match(r"port (\d+)", sample.stdout.readline()).group(1)
        with tempfile.TemporaryDirectory() as profile:
            browser = Browser(profile)
            try:
                return check(browser, f"http://127.0.0.1:{port}/", video)
            finally:
                browser.close()
    finally:
        sample.kill()
        sample.wait()


def shows_capture(seen: dict, video: str) -> bool:
    captured = seen["captured"]
    if captured is None:
        return False
    if video in ("none", "png"):
        return captured["hash"] == seen["hash"]
    return all(abs(a - b) <= LOSSY_MEAN for a, b in zip(captured["mean"], seen["mean"]))


def check(browser: Browser, url: str, video: str) -> int:
    target = browser.send("Target.createTarget", {"url": "about:blank"})["targetId"]
    session = browser.send("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
    for domain in ("Page", "Runtime", "Log"):
        browser.send(f"{domain}.enable", session=session)
    browser.send("Page.navigate", {"url": url}, session=session)
    deadline = time.monotonic() + 30
    state = {}
    while time.monotonic() < deadline:
        state = json.loads(evaluate(browser, session, "JSON.stringify(window.corvaneLive || {})") or "{}")
        if state.get("images", 0) >= 3 and state.get("plotPoints", 0) > 0:
            break
        time.sleep(0.2)
    problems = problems_of(browser.events, session)
    if state.get("images", 0) < 3 or not state.get("plotPoints"):
        problems.append(f"no images or no plot after 30 s: {state}")
    elif "/World/camera/rgb" not in state.get("topics", []):
        problems.append(f"the topic list lacks /World/camera/rgb: {state.get('topics')}")
    else:
        seen = json.loads(evaluate(browser, session, SNAPSHOT))
        if not shows_capture(seen, video):
            problems.append(f"the canvas does not show the capture: {seen}")
        else:
            print(f"live page check ({video}): {state['images']} images drawn ({state['image']['encoding']}), the "
                  f"canvas shows capture {seen['stamp']}; {state['plotPoints']} plot points; "
                  f"{len(state['topics'])} topics")
    for problem in problems:
        print(f"live page check ({video}): {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
