"""The exceptions corvane raises, each carrying the C++ exception's message and fields."""

import enum
import json
from typing import Optional


class TransportErrorKind(str, enum.Enum):
    """What ended a transfer (compares equal to the C++ name, e.g. ``"connectionRefused"``)."""

    TIMEOUT = "timeout"
    CONNECTION_REFUSED = "connectionRefused"
    HOST_NOT_RESOLVED = "hostNotResolved"
    TLS_VERIFICATION = "tlsVerification"
    CONNECTION_LOST = "connectionLost"
    MALFORMED_URL = "malformedUrl"
    OTHER = "other"
    DEADLINE_EXCEEDED = "deadlineExceeded"  # the client's deadline ended the call
    REPLY_TOO_LARGE = "replyTooLarge"  # the reply body passed max_reply_bytes
    PROXY_REFUSED = "proxyRefused"  # the proxy refused the tunnel; proxy_status is its answer


class FrameErrorKind(str, enum.Enum):
    """What is wrong with a capture reply's frame."""

    NOT_A_FRAME = "notAFrame"
    TRUNCATED_MANIFEST = "truncatedManifest"
    OUTPUT_OUT_OF_BOUNDS = "outputOutOfBounds"


class Error(RuntimeError):
    """The base of every failure of corvane's own (a RuntimeError, as the C++ ones are runtime errors)."""


_REASON_MEMBERS = ("error", "detail", "message")
_REASON_LENGTH = 200


def _reason_of(body: bytes) -> Optional[str]:
    """The bridge's reason in an error reply: a JSON object's "error", "detail" or "message" member (a
    non-text member as compact JSON), else the body's first 200 characters; None for an empty body."""
    text = body.decode("utf-8", "replace").strip()
    if not text:
        return None
    try:
        document = json.loads(text)
    except ValueError:
        document = None
    if isinstance(document, dict):
        for name in _REASON_MEMBERS:
            if name in document and document[name] not in (None, ""):
                value = document[name]
                return value if isinstance(value, str) else json.dumps(value, ensure_ascii=False)
    return text[:_REASON_LENGTH]


class HTTPError(Error):
    """A reply whose status is outside 200..299. ``str()`` is "Bridge returned status <code>" followed by the
    bridge's reason when the body gives one (``reason``); ``status`` and ``body`` (bytes) are the reply's."""

    def __init__(self, message: str, *, status: int = 0, body: bytes = b"") -> None:
        super().__init__(message)
        self.status = status
        self.body = body

    @property
    def message(self) -> str:
        """The message alone, as the C++ library gives it: "Bridge returned status <code>"."""
        return str(self.args[0]) if self.args else ""

    @property
    def reason(self) -> Optional[str]:
        """The bridge's reason: a JSON member "error", "detail" or "message", else the body's first 200
        characters (undecodable bytes replaced); None for an empty body."""
        return _reason_of(self.body)

    def __str__(self) -> str:
        reason = self.reason
        return self.message if reason is None else f"{self.message}: {reason}"

    def __repr__(self) -> str:
        return f"HTTPError(status={self.status}, reason={self.reason!r})"


class TransportError(Error):
    """An HTTP request failed in transport on its last attempt: "HTTP request failed: <libcurl's text>"."""

    def __init__(self, message: str, *, code: int = 0, kind: str = "other", attempts: int = 0,
                 proxy_status: int = 0) -> None:
        super().__init__(message)
        self.code = code  # libcurl's error code of the last attempt
        self.kind = TransportErrorKind(kind)
        self.attempts = attempts  # the failed last one included
        self.proxy_status = proxy_status  # a refusing proxy's answer to CONNECT, 0 otherwise


class HandshakeError(Error):
    """A stream could not be opened (never retried): "WebSocket handshake failed for <url>: <libcurl's text>",
    followed by " (status <status>)" when the bridge refused the upgrade."""

    def __init__(self, message: str, *, url: str = "", code: int = 0, http_status: int = 0,
                 kind: str = "other", status: int = 0) -> None:
        super().__init__(message)
        self.url = url
        self.code = code  # libcurl's error code
        self.http_status = http_status  # the bridge's answer to the upgrade, 0 when it did not answer
        self.status = status or http_status  # the same, named as on HTTPError
        self.kind = TransportErrorKind(kind)


class StreamError(Error):
    """A stream's send or receive failed, or the stream is closed. The stream stays as it was."""

    def __init__(self, message: str, *, code: int = 0) -> None:
        super().__init__(message)
        self.code = code  # libcurl's error code, 0 when libcurl reported none


class FrameError(Error):
    """A capture reply is not a valid camera frame."""

    def __init__(self, message: str, *, kind: str = "notAFrame") -> None:
        super().__init__(message)
        self.kind = FrameErrorKind(kind)


class SetupError(Error):
    """libcurl could not be set up for a transfer; nothing was sent."""

    def __init__(self, message: str, *, code: int = 0) -> None:
        super().__init__(message)
        self.code = code  # libcurl's error code, 0 when it gave none


class RecordingError(Error):
    """A recording could not be written (an unwritable path, a full disk) or read (not MCAP, a failed CRC)."""


class InterruptedError(Error):  # noqa: A001 (corvane's own, as the C++ name; the builtin is an OSError)
    """The client's ``interrupted`` callable asked a call to stop: "Call interrupted"."""
