// Preloaded into a test (LD_PRELOAD): a name lookup of a host ending in ".slow.test" takes 4 s and then finds
// nothing; every other lookup is libc's own.
#include <dlfcn.h>
#include <netdb.h>
#include <unistd.h>

#include <cstring>

extern "C" __attribute__((visibility("default"))) int getaddrinfo(const char* node, const char* service,
                                                                  const addrinfo* hints, addrinfo** result) {
  constexpr char kSuffix[] = ".slow.test";
  constexpr std::size_t kSuffixLength = sizeof kSuffix - 1;
  const std::size_t length = node != nullptr ? std::strlen(node) : 0;
  if (length >= kSuffixLength && std::strcmp(node + length - kSuffixLength, kSuffix) == 0) {
    ::sleep(4);
    return EAI_NONAME;
  }
  using Lookup = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
  const auto libc = reinterpret_cast<Lookup>(::dlsym(RTLD_NEXT, "getaddrinfo"));
  return libc != nullptr ? libc(node, service, hints, result) : EAI_FAIL;
}
