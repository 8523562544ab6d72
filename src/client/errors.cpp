#include "corvane/errors.hpp"

#include <curl/curl.h>

#include <utility>

namespace corvane {

const char* toString(TransportErrorKind kind) noexcept {
  switch (kind) {
    case TransportErrorKind::timeout:
      return "timeout";
    case TransportErrorKind::connectionRefused:
      return "connectionRefused";
    case TransportErrorKind::hostNotResolved:
      return "hostNotResolved";
    case TransportErrorKind::tlsVerification:
      return "tlsVerification";
    case TransportErrorKind::connectionLost:
      return "connectionLost";
    case TransportErrorKind::malformedUrl:
      return "malformedUrl";
    case TransportErrorKind::deadlineExceeded:
      return "deadlineExceeded";
    case TransportErrorKind::replyTooLarge:
      return "replyTooLarge";
    case TransportErrorKind::proxyRefused:
      return "proxyRefused";
    case TransportErrorKind::other:
      break;
  }
  return "other";
}

TransportErrorKind transportErrorKindOf(int curlCode) noexcept {
  switch (static_cast<CURLcode>(curlCode)) {
    case CURLE_OPERATION_TIMEDOUT:
      return TransportErrorKind::timeout;
    case CURLE_COULDNT_CONNECT:
      return TransportErrorKind::connectionRefused;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return TransportErrorKind::hostNotResolved;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return TransportErrorKind::tlsVerification;
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
      return TransportErrorKind::connectionLost;
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
      return TransportErrorKind::malformedUrl;
    case CURLE_FILESIZE_EXCEEDED:
      return TransportErrorKind::replyTooLarge;
    default:
      return TransportErrorKind::other;
  }
}

TransportError::TransportError(const std::string& message, int curlCode, int attempts)
    : std::runtime_error(message), code_(curlCode), kind_(transportErrorKindOf(curlCode)), attempts_(attempts) {}
TransportError::TransportError(const std::string& message, int curlCode, int attempts, TransportErrorKind kind,
                               long proxyStatus)
    : std::runtime_error(message), code_(curlCode), kind_(kind), attempts_(attempts), proxyStatus_(proxyStatus) {}
TransportError::~TransportError() = default;

HandshakeError::HandshakeError(const std::string& message, std::string url, int curlCode, long httpStatus)
    : std::runtime_error(message),
      url_(std::move(url)),
      code_(curlCode),
      httpStatus_(httpStatus),
      kind_(transportErrorKindOf(curlCode)) {}
HandshakeError::HandshakeError(const std::string& message, std::string url, int curlCode, long httpStatus,
                               TransportErrorKind kind)
    : std::runtime_error(message), url_(std::move(url)), code_(curlCode), httpStatus_(httpStatus), kind_(kind) {}
HandshakeError::~HandshakeError() = default;

StreamError::StreamError(const std::string& message, int curlCode) : std::runtime_error(message), code_(curlCode) {}
StreamError::~StreamError() = default;

FrameError::FrameError(const std::string& message, FrameErrorKind kind) : std::runtime_error(message), kind_(kind) {}
FrameError::~FrameError() = default;

SetupError::SetupError(const std::string& message, int curlCode) : std::runtime_error(message), code_(curlCode) {}
SetupError::~SetupError() = default;

InterruptedError::InterruptedError() : std::runtime_error("Call interrupted") {}
InterruptedError::~InterruptedError() = default;

}  // namespace corvane
