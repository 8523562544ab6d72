"""The `corvane-cli` directive: the `corvane` command's help, every command in turn, as the parsers print it.

The walk over the commands is the manual page's (python/doc/manpage.py), so the page and `man corvane` agree.
"""

import os
from typing import Any, Dict, List, Tuple

from docutils import nodes
from sphinx.application import Sphinx
from sphinx.util.docutils import SphinxDirective


class CommandLineHelp(SphinxDirective):
    def run(self) -> List[nodes.Node]:
        os.environ["COLUMNS"] = "100"
        from corvane.cli import build_parser
        from manpage import commands

        parser = build_parser()
        parser.prog = "corvane"
        sections = [self.section(("corvane",), parser.format_help())]
        for words, child in commands(parser):
            sections.append(self.section(("corvane",) + words, child.format_help()))
        return sections

    def section(self, words: Tuple[str, ...], text: str) -> nodes.section:
        title = " ".join(words)
        section = nodes.section(ids=[nodes.make_id("command " + title)])
        section += nodes.title(text=title)
        section += nodes.literal_block(text, text)
        return section


def setup(app: Sphinx) -> Dict[str, Any]:
    app.add_directive("corvane-cli", CommandLineHelp)
    return {"parallel_read_safe": True}
