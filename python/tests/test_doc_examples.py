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
        ```sh
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
