"""The exceptions corvane raises, each carrying the C++ exception's message and fields."""

import enum


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


class FrameErrorKind(str, enum.Enum):
    """What is wrong with a capture reply's frame."""

    NOT_A_FRAME = "notAFrame"
    TRUNCATED_MANIFEST = "truncatedManifest"
    OUTPUT_OUT_OF_BOUNDS = "outputOutOfBounds"


class Error(RuntimeError):
    """The base of every failure of corvane's own (a RuntimeError, as the C++ ones are runtime errors)."""


class HTTPError(Error):
    """A reply whose status is outside 200..299: "Bridge returned status <code>"."""

    def __init__(self, message: str, *, status: int = 0, body: bytes = b"") -> None:
        super().__init__(message)
        self.status = status
        self.body = body


class TransportError(Error):
    """An HTTP request failed in transport on its last attempt: "HTTP request failed: <libcurl's text>"."""

    def __init__(self, message: str, *, code: int = 0, kind: str = "other", attempts: int = 0) -> None:
        super().__init__(message)
        self.code = code  # libcurl's error code of the last attempt
        self.kind = TransportErrorKind(kind)
        self.attempts = attempts  # the failed last one included


class HandshakeError(Error):
    """A stream could not be opened (never retried)."""

    def __init__(self, message: str, *, url: str = "", code: int = 0, http_status: int = 0,
                 kind: str = "other") -> None:
        super().__init__(message)
        self.url = url
        self.code = code  # libcurl's error code
        self.http_status = http_status  # the bridge's answer to the upgrade, 0 when it did not answer
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
