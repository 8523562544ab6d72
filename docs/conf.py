"""The documentation site (Sphinx, Markdown pages through myst-parser), built by scripts/docs.

The Python reference is read from the built package: scripts/docs puts the build tree's python/ folder on
PYTHONPATH. The C++ reference is doxygen's, built by scripts/docs into the site's cpp/ folder.
"""

import os
import re
import sys

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "_ext"))
sys.path.insert(1, os.path.join(here, "..", "python", "doc"))

with open(os.path.join(here, "..", "CMakeLists.txt"), encoding="utf-8") as cmake:
    version = release = re.search(r"project\(corvane VERSION ([0-9.]+)", cmake.read()).group(1)

project = "corvane"
copyright = "the corvane developers; Apache License 2.0"
extensions = ["myst_parser", "sphinx.ext.autodoc", "sphinx_copybutton", "corvane_cli", "corvane_reference"]
source_suffix = {".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build", "api.md", "README.md"]
myst_enable_extensions = ["deflist"]
myst_heading_anchors = 3
highlight_language = "none"
pygments_style = "sphinx"

autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_default_options = {"members": True, "undoc-members": True}

html_theme = "sphinx_rtd_theme"
html_title = f"corvane {version}"
html_show_sourcelink = False
html_theme_options = {"navigation_depth": 2}
copybutton_prompt_text = "$ "
html_static_path = ["_static"]
html_css_files = ["site.css"]
