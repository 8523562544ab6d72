#pragma once

#include <corvane/response.hpp>

#include <string_view>
#include <utility>

#include "binding.hpp"

namespace corvane::python {

/// An HttpResponse with the Python views of its body and headers, each made when first asked for.
class Response {
 public:
  explicit Response(HttpResponse response) : response_(std::move(response)) {}

  long status() const noexcept { return response_.status; }
  py::bytes body();
  py::dict headers();
  py::object header(std::string_view name) const;
  nlohmann::json json() const { return response_.json(); }
  bool ok() const noexcept;
  py::str text() const;
  /// Throws corvane::HTTPError (translated with its reason) unless ok().
  void raiseForStatus() const;

 private:
  HttpResponse response_;
  py::bytes body_{py::reinterpret_steal<py::bytes>(py::handle())};
  py::dict headers_{py::reinterpret_steal<py::dict>(py::handle())};
};

}  // namespace corvane::python
