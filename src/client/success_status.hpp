#pragma once

namespace corvane::detail {

/// Whether a bridge reply succeeded (2xx); any other status is reported as HTTPError.
constexpr bool isSuccessStatus(long status) { return status >= 200 && status <= 299; }

}  // namespace corvane::detail
