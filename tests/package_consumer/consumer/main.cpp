// Uses the library through its public headers only, as an installed package or as part of a host's build;
// exits non-zero on the first surprise.
#include <corvane/corvane.hpp>

#include <cstdio>
#include <string>

#ifdef CURLINC_CURL_H
#error "the public headers must not include libcurl"
#endif

static int fail(const char* what) {
  std::fprintf(stderr, "consumer: %s\n", what);
  return 1;
}

int main() {
  static_assert(CORVANE_VERSION_MAJOR >= 0 && CORVANE_VERSION >= 100, "version macros");
  if (std::string(corvane::kVersion) != CORVANE_VERSION_STRING) return fail("version constant");

  corvane::IsaacSimClient client("consumer", "http://127.0.0.1:1", "ws://127.0.0.1:1", std::chrono::milliseconds(100),
                                 0);
  if (client.baseUrl() != "http://127.0.0.1:1/") return fail("base URL");
  if (&client.articulation.client() != &client) return fail("family binding");

  try {
    corvane::IsaacSimClient("x", "", "ws://w", std::chrono::milliseconds(1), 0);
    return fail("empty base_url accepted");
  } catch (const std::invalid_argument& e) {
    if (std::string(e.what()) != "base_url must not be empty") return fail("invalid_argument message");
  }

  // A real transfer through libcurl: nothing listens on port 1, and no retry is allowed.
  try {
    static_cast<void>(client.get("/articulations"));
    return fail("a request to a closed port succeeded");
  } catch (const std::runtime_error& e) {
    if (std::string(e.what()).rfind("HTTP request failed: ", 0) != 0) return fail("transport error message");
  }

  corvane::HttpResponse response;
  response.status = 404;
  response.body = "missing";
  try {
    static_cast<void>(corvane::detail::parseSuccessOrThrow(response));
    return fail("404 accepted");
  } catch (const corvane::HTTPError& e) {  // typeinfo must cross the library boundary
    if (e.status() != 404 || e.body() != "missing") return fail("HTTPError fields");
  }
  std::printf("consumer: corvane %s works\n", corvane::kVersion);
  return 0;
}
