"""The documentation's example extractor: which blocks run, and how they reach the test's bridge."""

import importlib.util
import os
import textwrap
from pathlib import Path
from typing import Any

import pytest

SCRIPT = Path(__file__).resolve().parents[2] / "docs" / "examples.py"


def load() -> Any:
    found = importlib.util.spec_from_file_location("doc_examples", SCRIPT)
    assert found is not None and found.loader is not None
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def page(tmp_path: Path, text: str) -> str:
    path = tmp_path / "Some Page.md"
    path.write_text(textwrap.dedent(text), encoding="utf-8")
    return os.fspath(path)


def test_runnable_blocks_and_fragments(tmp_path: Path) -> None:
    examples = load()
    found = examples.examples([page(tmp_path, """\
        ```sh fragment
        corvane sim
        ```
        - in a list:

          ```python
          print("one")
          ```
        ```{code-block} cpp
        :class: fragment

        options.proxy = "http://proxy:3128";
        ```
        ````cpp
        int main() {}
        ````
        """)])
    assert [(e.name, e.language, e.code) for e in found] == [
        ("some-page-1", "python", 'print("one")\n'), ("some-page-2", "cpp", "int main() {}\n")]
    with pytest.raises(SystemExit, match="must be a fragment"):
        examples.examples([page(tmp_path, "```{code-block} python\nprint(1)\n```\n")])


def test_cpp_examples_read_the_bridge_from_the_environment(tmp_path: Path) -> None:
    examples = load()
    text = '```cpp\nClient c("http://127.0.0.1:8000", "ws://127.0.0.1:8000");\n```\n'
    [example] = examples.examples([page(tmp_path, text)])
    source = examples.cpp_source(example)
    assert 'c(docsBridge("CORVANE_DOCS_HTTP"), docsBridge("CORVANE_DOCS_WS"))' in source
    assert "127.0.0.1" not in source
    with pytest.raises(SystemExit, match="whole string"):
        examples.cpp_source(example._replace(code='get("http://127.0.0.1:8000/articulations");\n'))


def test_shell_walkthroughs_run_against_the_bridges_they_start(tmp_path: Path,
                                                               capsys: pytest.CaptureFixture[str]) -> None:
    """A `corvane sim` first line starts the script's bridges (its ports moved, 8001 with 8000); a script
    without one gets the test's bridge. A wrong port or a failing command fails the page."""
    examples = load()
    good = page(tmp_path, """\
        ```sh
        corvane sim --count 2 --port 8000   # in a terminal of its own
        corvane articulation create /World/arm --bridge http://127.0.0.1:8001/
        ```
        ```sh
        corvane put /articulations '{"prim_path": "/World/arm"}'
        corvane get /articulations//World/arm/dof_limits --bridge http://127.0.0.1:8000
        ```
        """)
    assert examples.run(str(tmp_path), [good]) == 0
    bad = page(tmp_path, """\
        ```sh
        corvane sim --count 2
        corvane articulation create /World/arm --bridge http://127.0.0.1:8001/ --retries 0
        ```
        """)
    assert examples.run(str(tmp_path), [bad]) == 1
    assert "cannot reach the bridge" in capsys.readouterr().out
