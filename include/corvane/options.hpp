#pragma once

// Transport settings beyond the five basic ones: connection reuse, extra header lines, a private certificate
// authority, a proxy, a deadline per call, an interruption hook, the caps on connections and reply size, an
// observer and a retry policy. Every member defaults to "off" or to a cap no bridge reply comes near; a client
// built without options behaves as one built with a default ClientOptions.
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "corvane/export.hpp"
#include "corvane/observer.hpp"
#include "corvane/retry_policy.hpp"

namespace corvane {

struct CORVANE_API ClientOptions {
  /// Keep connections, TLS sessions and name lookups and reuse them across calls, attempts and batches, from
  /// every thread that uses the client. Off: every attempt opens its own connection, looks the host up and
  /// makes a full TLS handshake, and closes its connection when it ends. A connection the bridge closed while
  /// it sat idle never surfaces as an error: the call goes on over a new one. With this option the client
  /// takes locks (a short one per call to borrow and return its connections, and libcurl's around the shared
  /// name and TLS session caches). Streams never take part: each keeps its own connection.
  bool reuseConnections = false;

  /// Extra header lines ("Name: value") sent with every REST request and every stream handshake, e.g.
  /// "Authorization: Bearer <token>" for a bridge behind an authenticating proxy. The constructor refuses
  /// (std::invalid_argument) a line holding CR, LF or NUL, one whose name is empty or not an HTTP token or
  /// that has no colon, one with an empty value, and one naming a header the library or libcurl writes for
  /// the request's framing (Host, Content-Length, Content-Type, Transfer-Encoding, Connection, Upgrade,
  /// Expect, Sec-WebSocket-*): nothing can be injected and no request can be misframed.
  std::vector<std::string> headers;

  /// A PEM file of the certificate authorities trusted for https:// and wss:// (instead of the system's),
  /// for a bridge with a private CA. Empty: the system's store. Verification is always on; no option turns
  /// it off. A file that cannot be read fails the first TLS transfer (TransportError, kind tlsVerification,
  /// not retried).
  std::string caFile;

  /// A proxy URL for REST requests and streams (e.g. "http://proxy.local:3128"); streams go through it in a
  /// CONNECT tunnel. Empty: no proxy at all. The environment (http_proxy, https_proxy, all_proxy, no_proxy) is
  /// never read, with or without this option.
  std::string proxy;

  /// The most time one verb call (or one batch entry, or captureAll) may take in all, attempts and pauses
  /// included. Each attempt's timeout is cut to what is left; when the next pause and attempt would not fit,
  /// the call ends with its last outcome: the response, or the last attempt's TransportError with kind
  /// deadlineExceeded. Must be positive. Stream handshakes are bounded by the client's timeout only.
  std::optional<std::chrono::milliseconds> deadline;

  /// Called about every 100 ms while a call waits (on the network, in a pause between attempts, for a batch)
  /// on the calling thread; when it returns true the call ends at once with InterruptedError. During a stream
  /// handshake it is called through libcurl's progress callback, which may slow down to once a second while
  /// nothing arrives. An exception it throws ends the call and passes through. Empty: never called.
  std::function<bool()> interrupted;

  /// The most connections one call or batch has open at once; the other entries of a batch wait (their
  /// timeout not yet running) until one ends. With reuseConnections it also bounds the idle connections
  /// each kept lane holds, and the lanes kept idle (each call borrows one; after a burst of concurrent calls
  /// the lanes past this many are closed as they come back). Calls made at once from several threads each have this
  /// many. Must be positive.
  int maxConnections = 16;

  /// The largest reply body one attempt takes, in bytes. A reply announced larger, or growing past it,
  /// ends the attempt with TransportError kind replyTooLarge (not retried): the client never holds more.
  /// Must be positive.
  std::size_t maxReplyBytes = std::size_t{1} << 30;

  /// Sees every REST exchange, stream event and decoded frame of the client (and of its copies and streams)
  /// on the calling thread; see ClientObserver. Empty: nothing is observed and nothing extra is done.
  std::shared_ptr<ClientObserver> observer;

  /// Which failed attempts are made again and after what pauses (see RetryPolicy), for verb calls, batch
  /// entries and captures alike; the number of retries stays the client's max_retries. Empty: the rules of
  /// RetryPolicy's defaults, with the pauses' jitter from libc's rand(). The constructor refuses
  /// (std::invalid_argument) a status outside [100, 999], a method that is none of GET, POST, PUT, PATCH and
  /// DELETE, a first pause <= 0, a largest pause shorter than the first, and a jitter outside [0, 1].
  std::optional<RetryPolicy> retryPolicy;
};

}  // namespace corvane
