#pragma once

// The exceptions corvane throws for failures of its own, each a subclass of the standard type a caller
// may already catch (std::runtime_error), with the same message and the details a program can act on.
//
//   std::runtime_error
//     HTTPError       a reply outside 200..299 (response.hpp)
//     TransportError  an HTTP request failed on its last attempt
//     HandshakeError  a stream could not be opened
//     StreamError     a stream's send or receive failed, or the stream is closed
//     FrameError      a capture reply is not a valid camera frame
//     SetupError      libcurl could not be set up for a transfer
//     InterruptedError  the caller's interruption hook asked a call to stop (ClientOptions::interrupted)
//
// Invalid arguments stay std::invalid_argument; errors of the JSON library pass through unchanged.
#include <stdexcept>
#include <string>

#include "corvane/export.hpp"

namespace corvane {

/// What ended a transfer, for a caller that reacts differently to each (retry later, fix the address,
/// check the certificate...). Derived from libcurl's error code.
enum class TransportErrorKind {
  timeout,            ///< the transfer took longer than the client's timeout
  connectionRefused,  ///< no connection could be made (refused, or the host is unreachable)
  hostNotResolved,    ///< the host name (or the proxy's) could not be resolved
  tlsVerification,    ///< the peer's certificate could not be verified
  connectionLost,     ///< the connection broke, or closed before the reply was complete
  malformedUrl,       ///< the URL is malformed or names a scheme libcurl does not support
  other,              ///< anything else; code() tells which
  /// The call's deadline (ClientOptions::deadline) ended it: its last attempt timed out at the deadline, or
  /// failed with no time left for a pause and another attempt. code() is that attempt's libcurl error.
  deadlineExceeded,
  /// The reply body passed ClientOptions::maxReplyBytes (announced or as it came); never retried.
  replyTooLarge,
  /// The proxy refused the tunnel (CONNECT answered with e.g. 403 or 407); proxyStatus() is its answer.
  proxyRefused,
};

/// The name of a kind, e.g. "timeout" or "connectionRefused".
CORVANE_API const char* toString(TransportErrorKind kind) noexcept;
/// The kind of a libcurl error code (a CURLcode value).
CORVANE_API TransportErrorKind transportErrorKindOf(int curlCode) noexcept;

/// An HTTP request failed in transport on its last attempt. what() is "HTTP request failed: " followed by
/// libcurl's text for code(); a refused scheme, a refusing proxy and a reply past the size cap add what
/// happened after that.
class CORVANE_API TransportError : public std::runtime_error {
 public:
  /// The kind follows from `curlCode` (transportErrorKindOf).
  TransportError(const std::string& message, int curlCode, int attempts);
  TransportError(const std::string& message, int curlCode, int attempts, TransportErrorKind kind, long proxyStatus = 0);
  ~TransportError() override;

  /// The status a proxy answered the CONNECT request with when it refused the tunnel; 0 otherwise.
  [[nodiscard]] long proxyStatus() const noexcept { return proxyStatus_; }

  /// libcurl's error code (a CURLcode value) of the last attempt.
  [[nodiscard]] int code() const noexcept { return code_; }
  [[nodiscard]] TransportErrorKind kind() const noexcept { return kind_; }
  /// How many attempts were made, the failed last one included.
  [[nodiscard]] int attempts() const noexcept { return attempts_; }

 private:
  int code_;
  TransportErrorKind kind_;
  int attempts_;
  long proxyStatus_ = 0;
};

/// A stream's WebSocket handshake failed (never retried). what() is "WebSocket handshake failed for "
/// + url() + ": " + libcurl's text for code(), followed by " (status N)" when the bridge answered with a
/// status other than 101; when a proxy refused the tunnel, the proxy's answer follows instead.
class CORVANE_API HandshakeError : public std::runtime_error {
 public:
  HandshakeError(const std::string& message, std::string url, int curlCode, long httpStatus);
  /// With a kind of its own (proxyRefused: a proxy refused the tunnel before the bridge was reached).
  HandshakeError(const std::string& message, std::string url, int curlCode, long httpStatus, TransportErrorKind kind);
  ~HandshakeError() override;

  [[nodiscard]] const std::string& url() const noexcept { return url_; }
  /// libcurl's error code; 52 (nothing received) when the bridge hung up without answering, 22 when it
  /// answered with a status other than 101.
  [[nodiscard]] int code() const noexcept { return code_; }
  /// The HTTP status the bridge answered the upgrade with, 0 when it did not answer. (libcurl reads no
  /// body after a refused upgrade, so what the bridge wrote there cannot be had.)
  [[nodiscard]] long httpStatus() const noexcept { return httpStatus_; }
  /// The same as httpStatus(), named as on HTTPError.
  [[nodiscard]] long status() const noexcept { return httpStatus_; }
  [[nodiscard]] TransportErrorKind kind() const noexcept { return kind_; }

 private:
  std::string url_;
  int code_;
  long httpStatus_;
  TransportErrorKind kind_;
};

/// A stream's send or receive failed, or the stream was used after it was closed. The stream stays as it
/// was: the caller decides whether to close it.
class CORVANE_API StreamError : public std::runtime_error {
 public:
  /// `curlCode` 0: the failure did not come from libcurl (a closed stream, a failed poll()).
  StreamError(const std::string& message, int curlCode);
  ~StreamError() override;

  /// libcurl's error code, or 0 when libcurl reported none.
  [[nodiscard]] int code() const noexcept { return code_; }

 private:
  int code_;
};

/// What is wrong with a capture reply's frame.
enum class FrameErrorKind {
  notAFrame,          ///< shorter than its 8-byte header, or not starting with "CVB1"
  truncatedManifest,  ///< the manifest length runs past the end of the body
  outputOutOfBounds,  ///< an output's region lies (partly) outside the payload
};

/// A capture reply is not a valid camera frame. Manifests that are not valid JSON, or lack a member,
/// raise the JSON library's own exceptions instead.
class CORVANE_API FrameError : public std::runtime_error {
 public:
  FrameError(const std::string& message, FrameErrorKind kind);
  ~FrameError() override;

  [[nodiscard]] FrameErrorKind kind() const noexcept { return kind_; }

 private:
  FrameErrorKind kind_;
};

/// libcurl could not be set up for a transfer: no handle ("Failed to initialize libcurl"), an option
/// refused ("curl_easy_setopt failed: ..."), no memory for the request headers. Nothing was sent; the
/// bridge was not involved.
class CORVANE_API SetupError : public std::runtime_error {
 public:
  /// `curlCode` 0: libcurl gave no code.
  SetupError(const std::string& message, int curlCode);
  ~SetupError() override;

  /// libcurl's error code, or 0 when it gave none.
  [[nodiscard]] int code() const noexcept { return code_; }

 private:
  int code_;
};

/// The caller's interruption hook (ClientOptions::interrupted) returned true while a call waited: the call
/// ended at once, whatever it had received. what() is always "Call interrupted".
class CORVANE_API InterruptedError : public std::runtime_error {
 public:
  InterruptedError();
  ~InterruptedError() override;
};

}  // namespace corvane
