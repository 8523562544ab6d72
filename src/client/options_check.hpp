#pragma once

#include "corvane/options.hpp"

namespace corvane::detail {

/// Throws std::invalid_argument for options no client may be built with: a header line holding CR, LF or
/// another control byte, without "Name:" (a token) or a value, or naming a header that frames the request; a NUL byte
/// in caFile or proxy (libcurl would cut the text there); a deadline, maxConnections or maxReplyBytes <= 0; a
/// retry policy that checkRetryPolicy refuses.
void checkOptions(const ClientOptions& options);

}  // namespace corvane::detail
