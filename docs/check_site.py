"""Opens the built site in headless Chromium and checks that its pages render.

    check_site.py <site folder>

For the home page and the Python and C++ references (loaded from the files): the title, a known symbol in
the DOM, and no console error or uncaught exception. Chromium is driven through its DevTools protocol over a
pipe (--remote-debugging-pipe): no port, no network; every wait is bounded.
"""

import fcntl
import json
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time
from typing import Any, Dict, List, Optional

# (page, title it starts with, a CSS selector that must match, text that element must hold)
PAGES = [
    ("index.html", "corvane", "a[href='getting-started.html']", "Getting started"),
    ("reference/python.html", "Python API", "dt[id='corvane.Client']", "Client"),
    ("cpp/classcorvane_1_1IsaacSimClient.html", "corvane: corvane::IsaacSimClient", "div.title",
     "IsaacSimClient"),
]
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--remote-debugging-pipe", "about:blank"]


class Browser:
    def __init__(self, profile: str) -> None:
        chromium = shutil.which("chromium") or shutil.which("chromium-browser")
        if not chromium:
            raise SystemExit("check_site: chromium not found (scripts/install-deps installs it)")
        to_browser, self._write = os.pipe()
        self._read, from_browser = os.pipe()
        # Chromium reads commands from fd 3 and writes to fd 4. The pipe ends are first moved above 10, so
        # that putting one at 3 cannot overwrite the other; they close on exec, their copies at 3 and 4 do not.
        high = [fcntl.fcntl(fd, fcntl.F_DUPFD_CLOEXEC, 10) for fd in (to_browser, from_browser)]
        for fd in (to_browser, from_browser):
            os.close(fd)
        self._process = subprocess.Popen(
            [chromium, f"--user-data-dir={profile}"] + FLAGS, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, close_fds=False, preexec_fn=lambda: (os.dup2(high[0], 3), os.dup2(high[1], 4)))
        for fd in high:
            os.close(fd)
        self._next_id, self._buffer, self.events = 0, b"", []  # type: int, bytes, List[Dict[str, Any]]

    def send(self, method: str, params: Optional[Dict[str, Any]] = None, session: Optional[str] = None,
             timeout: float = 30.0) -> Dict[str, Any]:
        self._next_id += 1
        message: Dict[str, Any] = {"id": self._next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self._write, json.dumps(message).encode() + b"\0")
        reply = self.wait(lambda m: m.get("id") == self._next_id, timeout)
        if "error" in reply:
            raise RuntimeError(f"{method}: {reply['error']}")
        return reply.get("result", {})

    def wait(self, wanted: Any, timeout: float) -> Dict[str, Any]:
        """Reads messages until one satisfies `wanted`; every event read is kept in self.events."""
        deadline = time.monotonic() + timeout
        while True:
            while b"\0" in self._buffer:
                raw, self._buffer = self._buffer.split(b"\0", 1)
                message = json.loads(raw)
                if "method" in message:
                    self.events.append(message)
                if wanted(message):
                    return message
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self._read], [], [], left)[0]:
                raise TimeoutError("chromium did not answer in time")
            chunk = os.read(self._read, 1 << 16)
            if not chunk:
                raise RuntimeError("chromium exited")
            self._buffer += chunk

    def close(self) -> None:
        try:
            self.send("Browser.close", timeout=5)
        except (RuntimeError, TimeoutError, OSError):
            pass
        try:
            self._process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait()
        os.close(self._write)
        os.close(self._read)


def problems_of(events: List[Dict[str, Any]], session: str) -> List[str]:
    found = []
    for event in events:
        if event.get("sessionId") != session:
            continue
        params = event.get("params", {})
        if event["method"] == "Runtime.exceptionThrown":
            details = params["exceptionDetails"]
            found.append("uncaught: " + details.get("exception", {}).get("description", details.get("text", "")))
        elif event["method"] == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
            found.append("console: " + " ".join(str(a.get("value", a.get("description", ""))) for a in params["args"]))
        elif event["method"] == "Log.entryAdded" and params["entry"]["level"] == "error":
            found.append(f"log: {params['entry']['text']} ({params['entry'].get('url', '')})")
    return found


def check_page(browser: Browser, site: str, page: str, title: str, selector: str, text: str) -> List[str]:
    url = "file://" + os.path.join(site, page)
    target = browser.send("Target.createTarget", {"url": "about:blank"})["targetId"]
    session = browser.send("Target.attachToTarget", {"targetId": target, "flatten": True})["sessionId"]
    for domain in ("Page", "Runtime", "Log"):
        browser.send(f"{domain}.enable", session=session)
    browser.send("Page.navigate", {"url": url}, session=session)
    browser.wait(lambda m: m.get("sessionId") == session and m.get("method") == "Page.loadEventFired", 30)
    time.sleep(0.5)  # scripts run on load (search index, navigation tree) get their turn
    expression = (f"JSON.stringify({{title: document.title, text: (document.querySelector({json.dumps(selector)})"
                  " || {textContent: null}).textContent})")
    result = browser.send("Runtime.evaluate", {"expression": expression, "returnByValue": True}, session=session)
    if "value" not in result.get("result", {}):
        return [f"{page}: the page could not be read: {result}"]
    seen = json.loads(result["result"]["value"])
    problems = problems_of(browser.events, session)
    if not seen["title"].startswith(title):
        problems.append(f"title is {seen['title']!r}, expected {title!r}...")
    if seen["text"] is None or text not in seen["text"]:
        problems.append(f"{selector} holding {text!r} not found (found {seen['text']!r})")
    browser.send("Target.closeTarget", {"targetId": target})
    return [f"{page}: {p}" for p in problems]


def main() -> int:
    site = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory() as profile:
        browser = Browser(profile)
        try:
            problems = []
            for page, title, selector, text in PAGES:
                if not os.path.isfile(os.path.join(site, page)):
                    problems.append(f"{page}: not built")
                    continue
                found = check_page(browser, site, page, title, selector, text)
                print(f"check_site: {page}: {'ok' if not found else 'FAILED'}")
                problems += found
        finally:
            browser.close()
    for problem in problems:
        print("check_site:", problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
