"""The examples of the documentation: every ```python and ```cpp block of the pages is a complete program, and
every ```sh block a shell script.

    examples.py extract-cpp <folder> <page>...   writes each C++ example to <folder>/<name>.cpp, prints the names
    examples.py run <folder> <page>...           runs every example against its own simulated bridge

A block that is not a whole program is written as a `{code-block}` directive with `:class: fragment`, or with
the word `fragment` after its language (```sh fragment, as forges render it too); any other `{code-block}` is
refused, so that no example goes unrun by accident. The examples talk to the bridge a reader starts with
`corvane sim --port 8000`; here each gets a fresh simulated bridge on a free port, put in place of that
address (Python and shell: in the text; C++: read from the environment at run time; the shell's `corvane`
also finds it as $CORVANE_BRIDGE). A shell script whose first line runs `corvane sim` starts its own bridges
instead, as a reader does in a terminal of its own: that line runs in the background (its ports moved to free
ones, 8000 and 8001 alike), the rest once it has printed the bridges' URLs, and Ctrl-C ends it afterwards.
"""

import contextlib
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
from typing import Dict, Iterator, List, NamedTuple, Tuple

HTTP, WS = "http://127.0.0.1:8000", "ws://127.0.0.1:8000"
LANGUAGES = {"python": "python", "py": "python", "cpp": "cpp", "c++": "cpp", "sh": "sh", "bash": "sh"}
FENCE = re.compile(r"^(\s*)(`{3,}|~{3,})\s*(.*)$")
CPP_PRELUDE = """#include <cstdlib>
#include <string>
// The documentation's bridge address, here that of the test's own simulated bridge.
static std::string docsBridge(const char* variable) { return std::getenv(variable); }
"""


class Example(NamedTuple):
    name: str
    language: str
    code: str
    where: str


def blocks(path: str) -> Iterator[Tuple[int, str, List[str], str]]:
    """(line, info, options, code) of every fenced block of a Markdown page."""
    with open(path, encoding="utf-8") as file:
        lines = file.read().splitlines()
    i = 0
    while i < len(lines):
        match = FENCE.match(lines[i])
        if not match:
            i += 1
            continue
        indent, fence, info = match.groups()
        start, body = i + 1, []
        i += 1
        while i < len(lines) and not lines[i].strip().startswith(fence):
            body.append(lines[i][len(indent):] if lines[i].startswith(indent) else lines[i].lstrip())
            i += 1
        i += 1
        options = []
        while body and body[0].startswith(":") and info.startswith("{"):
            options.append(body.pop(0).strip())
        yield start, info.strip(), options, "\n".join(body) + "\n"


def examples(pages: List[str]) -> List[Example]:
    found = []
    for page in pages:
        stem = re.sub(r"[^A-Za-z0-9]+", "-", os.path.splitext(os.path.basename(page))[0]).strip("-").lower()
        count = 0
        for line, info, options, code in blocks(page):
            where = f"{page}:{line}"
            words = info.split()
            if words and words[0] in ("{code-block}", "{code}", "{sourcecode}"):
                language = LANGUAGES.get(words[1].lower() if len(words) > 1 else "")
                if language and ":class: fragment" not in options:
                    raise SystemExit(f"{where}: a {language} directive must be a fragment (:class: fragment) or a "
                                     "plain fenced block, which runs")
                continue
            language = LANGUAGES.get(words[0].lower() if words else "")
            if language and "fragment" not in words[1:]:
                count += 1
                found.append(Example(f"{stem}-{count}", language, code, where))
    return found


def cpp_source(example: Example) -> str:
    code = example.code.replace(f'"{HTTP}"', 'docsBridge("CORVANE_DOCS_HTTP")')
    code = code.replace(f'"{WS}"', 'docsBridge("CORVANE_DOCS_WS")')
    if "127.0.0.1:8000" in code:
        raise SystemExit(f"{example.where}: the bridge's address must be the whole string \"{HTTP}\" or \"{WS}\"")
    page, line = example.where.rsplit(":", 1)
    return f'{CPP_PRELUDE}#line {int(line) + 1} "{page}"\n{code}'


def extract_cpp(folder: str, pages: List[str]) -> None:
    os.makedirs(folder, exist_ok=True)
    names = [example.name for example in examples(pages) if example.language == "cpp"]
    for stale in set(os.listdir(folder)) - {name + ".cpp" for name in names}:
        if stale.endswith(".cpp"):
            os.remove(os.path.join(folder, stale))
    for example in examples(pages):
        if example.language == "cpp":
            path = os.path.join(folder, example.name + ".cpp")
            text = cpp_source(example)
            if not os.path.exists(path) or open(path, encoding="utf-8").read() != text:
                with open(path, "w", encoding="utf-8") as file:
                    file.write(text)
            print(example.name)


SIM = re.compile(r"^corvane sim\b")
DOCS_PORT = re.compile(r"(?<=127\.0\.0\.1:)80(0\d)\b|(?<=--port )80(0\d)\b")


def free_ports(count: int) -> int:
    """The first of `count` consecutive ports that are free now (for a script's own bridges)."""
    while True:
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            first = probe.getsockname()[1]
        if first + count > 65535:
            continue
        try:
            with contextlib.ExitStack() as held:
                for port in range(first, first + count):
                    held.enter_context(socket.socket()).bind(("127.0.0.1", port))
            return first
        except OSError:
            continue


def shell_script(work: str, env: Dict[str, str]) -> Dict[str, str]:
    """A `corvane` on the script's PATH: the package this test imports, run by this interpreter."""
    tools = os.path.join(work, ".tools")
    os.makedirs(tools)
    with open(os.path.join(tools, "corvane"), "w", encoding="utf-8") as file:
        file.write(f'#!/bin/sh\nexec "{sys.executable}" -m corvane "$@"\n')
    os.chmod(os.path.join(tools, "corvane"), 0o755)
    return dict(env, PATH=tools + os.pathsep + env.get("PATH", ""))


def run_shell(example: Example, work: str, env: Dict[str, str], http_url: str) -> Tuple[bool, str]:
    """Runs a ```sh block with bash (-e: a failing command fails it), against the test's bridge or, when its
    first line runs `corvane sim`, against the bridges that line starts."""
    env = shell_script(work, env)
    signal.signal(signal.SIGINT, signal.default_int_handler)  # the bridges answer Ctrl-C, as at a terminal
    if not SIM.match(example.code):
        script = example.code.replace(HTTP, http_url)
        return run_process(["bash", "-euo", "pipefail", "-c", script], work, dict(env, CORVANE_BRIDGE=http_url))
    base = free_ports(10)
    moved = DOCS_PORT.sub(lambda m: str(base + int(m[1] or m[2])), example.code)
    first, _, rest = moved.partition("\n")
    sim = subprocess.Popen(["bash", "-c", first], cwd=work, env=env, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, text=True, start_new_session=True)
    try:
        assert sim.stdout is not None
        count = re.search(r"--count (\d+)", first)
        for _ in range(int(count[1]) if count else 1):  # one URL pair a line, once each bridge answers
            started = sim.stdout.readline()
            if not started.startswith("http"):
                return False, f"{first}\ndid not start: {started}{sim.stdout.read()}"
        ok, output = run_process(["bash", "-euo", "pipefail", "-c", rest], work, env)
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(sim.pid, signal.SIGINT)  # Ctrl-C, to the terminal's whole group
        stopped = sim.wait(timeout=30)
    if ok and stopped != 0:
        return False, f"{output}{first}\nexited with {stopped} after Ctrl-C"
    return ok, output


def run_process(command: List[str], work: str, env: Dict[str, str]) -> Tuple[bool, str]:
    try:
        result = subprocess.run(command, cwd=work, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                text=True, timeout=120)
        return result.returncode == 0, result.stdout
    except subprocess.TimeoutExpired as expired:
        partial = expired.output if isinstance(expired.output, str) else ""
        return False, f"timed out after 120 s\n{partial}"


def run(folder: str, pages: List[str]) -> int:
    from corvane.testing import SimulatedBridge

    failures = 0
    for example in examples(pages):
        with SimulatedBridge() as (http_url, ws_url), tempfile.TemporaryDirectory() as work:
            http_url, ws_url = http_url.rstrip("/"), ws_url.rstrip("/")
            path = os.pathsep.join(os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p)
            env = dict(os.environ, CORVANE_DOCS_HTTP=http_url, CORVANE_DOCS_WS=ws_url, PYTHONPATH=path)
            env.pop("CORVANE_BRIDGE", None)
            if example.language == "sh":
                ok, output = run_shell(example, work, env, http_url)
            elif example.language == "python":
                with open(os.path.join(work, "example.py"), "w", encoding="utf-8") as file:
                    file.write(example.code.replace(HTTP, http_url).replace(WS, ws_url))
                ok, output = run_process([sys.executable, "example.py"], work, env)
            else:  # a sanitized build's example carries its own runtime: the interpreter's preload must not reach it
                env.pop("LD_PRELOAD", None)
                ok, output = run_process([os.path.join(os.path.abspath(folder), example.name)], work, env)
        print(f"{'ok  ' if ok else 'FAIL'} {example.name} ({example.language}, {example.where})", flush=True)
        if not ok:
            failures += 1
            print("  " + output.replace("\n", "\n  "), flush=True)
    print(f"{failures} of {len(examples(pages))} examples failed")
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) < 3 or sys.argv[1] not in ("extract-cpp", "run"):
        raise SystemExit(__doc__)
    if sys.argv[1] == "extract-cpp":
        extract_cpp(sys.argv[2], sys.argv[3:])
    else:
        sys.exit(run(sys.argv[2], sys.argv[3:]))
