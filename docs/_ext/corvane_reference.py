"""The Python reference: pybind11's signatures as a reader writes them (no `self: ...`, the package's names
rather than the compiled module's), and kept complete: a public name of the package that no page documents is
a warning (and scripts/docs turns warnings into errors)."""

import re
from typing import Any, Dict, Optional, Tuple

from sphinx.application import Sphinx
from sphinx.environment import BuildEnvironment
from sphinx.util import logging

# Other names of documented classes, and the version string.
ALIASES = {"IsaacSimClient", "WebSocketStream", "CameraFrame", "CameraOutput", "__version__"}


def check(app: Sphinx, env: BuildEnvironment) -> None:
    import corvane

    documented = set(env.get_domain("py").objects)  # type: ignore[attr-defined]
    for name in sorted(set(corvane.__all__) - ALIASES):
        if f"corvane.{name}" not in documented:
            logging.getLogger(__name__).warning(f"corvane.{name} is public but not in the Python reference")


def readable(app: Sphinx, what: str, name: str, obj: Any, options: Any, signature: Optional[str],
             annotation: Optional[str]) -> Optional[Tuple[Optional[str], Optional[str]]]:
    if signature is None:
        return None
    signature = re.sub(r"^\(self(: [\w.]+)?(, )?", "(", signature)
    tidy = lambda text: text.replace("corvane._corvane.", "corvane.") if text else text  # noqa: E731
    return tidy(signature), tidy(annotation)


def setup(app: Sphinx) -> Dict[str, Any]:
    app.connect("env-check-consistency", check)
    app.connect("autodoc-process-signature", readable)
    return {"parallel_read_safe": True}
