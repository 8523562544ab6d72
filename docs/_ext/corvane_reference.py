"""Keeps the Python reference complete: a public name of the package that no page documents is a warning
(and scripts/docs turns warnings into errors)."""

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


def setup(app: Sphinx) -> dict:
    app.connect("env-check-consistency", check)
    return {"parallel_read_safe": True}
