#include "corvane/batch.hpp"

namespace corvane {

const HttpResponse& BatchResult::response() const& {
  if (!response_) std::rethrow_exception(error_);
  return *response_;
}

HttpResponse BatchResult::response() && {
  if (!response_) std::rethrow_exception(error_);
  return std::move(*response_);
}

}  // namespace corvane
