#include "corvane/batch.hpp"

#include <stdexcept>

namespace corvane {

// NOLINTNEXTLINE(bugprone-throw-keyword-missing): the error is held for the caller, not thrown here
BatchResult::BatchResult(std::exception_ptr error) : error_(std::move(error)) {
  if (!error_) throw std::invalid_argument("BatchResult: an entry without a response needs its error");
}

const HttpResponse& BatchResult::response() const& {
  if (!response_) std::rethrow_exception(error_);
  return *response_;
}

HttpResponse BatchResult::response() && {
  if (!response_) std::rethrow_exception(error_);
  return std::move(*response_);
}

}  // namespace corvane
