"""Writes the manual page of the `corvane` command from its argument parsers: every command's --help.

    PYTHONPATH=<build>/python python3 manpage.py <output.1>
"""

import argparse
import os
import sys
from typing import Iterator, List, Tuple

os.environ["COLUMNS"] = "80"  # argparse wraps to the terminal; the page is the same wherever it is built

from corvane import __version__  # noqa: E402 (after COLUMNS, which argparse reads on use)
from corvane.cli import build_parser  # noqa: E402


def commands(parser: argparse.ArgumentParser, words: Tuple[str, ...] = ()) -> Iterator[
        Tuple[Tuple[str, ...], argparse.ArgumentParser]]:
    """Every parser under `parser`, depth first, each once (aliases left out)."""
    seen = set()
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            for name, child in action.choices.items():
                if id(child) not in seen:
                    seen.add(id(child))
                    yield words + (name,), child
                    yield from commands(child, words + (name,))


def roff(text: str) -> str:
    lines = []
    for line in text.replace("\\", "\\e").splitlines():
        lines.append("\\&" + line if line.startswith((".", "'")) else line)
    return "\n".join(lines)


def page() -> str:
    parser = build_parser()
    out: List[str] = [
        f'.TH CORVANE 1 "" "corvane {__version__}" "User Commands"',
        ".SH NAME", "corvane \\- drive a robotics simulator's bridge from the shell",
        ".SH SYNOPSIS", ".B corvane", "COMMAND [ACTION] [OPTION]... [ARGUMENT]...",
        ".SH DESCRIPTION", ".nf", roff(parser.format_help()), ".fi", ".SH COMMANDS"]
    for words, child in commands(parser):
        out += [f'.SS "corvane {" ".join(words)}"', ".nf", roff(child.format_help()), ".fi"]
    out += [".SH ENVIRONMENT", ".TP", ".B CORVANE_BRIDGE", "the bridge's HTTP base URL when --bridge is not given",
            ".TP", ".B NO_COLOR", "when set, JSON is never coloured", ".SH SEE ALSO", "corvane-bridge-sim(1)"]
    return "\n".join(out) + "\n"


if __name__ == "__main__":
    with open(sys.argv[1], "w", encoding="utf-8") as file:
        file.write(page())
