// Configure-time probe: exits 0 when the linked libcurl supports the ws and wss schemes.
#include <curl/curl.h>
#include <cstdio>
#include <cstring>

int main() {
  const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
  bool ws = false;
  bool wss = false;
  for (const char* const* p = info->protocols; p != nullptr && *p != nullptr; ++p) {
    ws = ws || std::strcmp(*p, "ws") == 0;
    wss = wss || std::strcmp(*p, "wss") == 0;
  }
  if (!ws) {
    std::printf("no ws protocol in libcurl %s", info->version);
    return 1;
  }
  if (!wss) std::printf("note: libcurl %s has ws but not wss", info->version);
  return 0;
}
