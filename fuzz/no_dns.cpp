// Linked into every fuzz target with -Wl,--wrap=getaddrinfo: the daemon's
// calls to getaddrinfo land here and resolve numeric hosts only, so no fuzzed
// text ever leaves the machine as a DNS query.  Non-numeric hosts fail as an
// unknown name would.
#include <netdb.h>

extern "C" int __real_getaddrinfo(const char* node, const char* service, const struct addrinfo* hints,
                                  struct addrinfo** result);

extern "C" int __wrap_getaddrinfo(const char* node, const char* service, const struct addrinfo* hints,
                                  struct addrinfo** result) {
    struct addrinfo numeric = {};
    if (hints) numeric = *hints;
    numeric.ai_flags |= AI_NUMERICHOST;
    return __real_getaddrinfo(node, service, &numeric, result);
}
