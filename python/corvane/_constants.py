"""Names shared by the recording, fleet, export and command-line modules, written once."""

from __future__ import annotations

# The topic of an episode's start and end messages ({"event": "start"|"end", ...}): what cuts a recording
# into episodes.
EPISODE_TOPIC = "/episode"

# A bridge's WebSocket URL follows the scheme of its HTTP URL.
WEBSOCKET_SCHEMES = (("http://", "ws://"), ("https://", "wss://"))


def websocket_url(http_url: str) -> str:
    """The WebSocket base URL of a bridge at `http_url`; ValueError when it is not http:// or https://."""
    for scheme, ws_scheme in WEBSOCKET_SCHEMES:
        if http_url.lower().startswith(scheme):
            return ws_scheme + http_url[len(scheme):]
    raise ValueError(f"not an http:// or https:// URL: {http_url!r}")
