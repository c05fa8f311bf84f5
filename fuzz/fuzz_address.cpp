// Address texts from options and start-up: Address::parse with every
// combination of its two flags and of the family restriction, then the text
// form, the key and the comparisons on what it gave.
//
//   byte 0   bit 0 require_multicast, bit 1 default_port, bits 2-3 family
//            (unrestricted, IPv4, IPv6, or through settings.forced_family,
//            which bit 4 sets to IPv6), bits 5-7 flags of the second parse
//   byte 1   size of a short buffer for to_string
//   the rest the text
//
// Only numeric texts are tried (digits, hex letters, '.', ':', '/', '%'):
// a host name would go to the resolver.  The fuzz build also forces numeric
// resolution underneath (no_dns.cpp).
#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "control/settings.h"
#include "net/address.h"

namespace {

[[noreturn]] void violated(const char* what, const std::string& text) {
    fprintf(stderr, "invariant violated: %s (text \"%s\")\n", what, text.c_str());
    abort();
}

void check(bool ok, const char* what, const std::string& text) {
    if (!ok) violated(what, text);
}

bool parse_with(Address& address, const std::string& text, uint8_t flags) {
    bool require_multicast = flags & 1;
    bool default_port = flags & 2;
    switch ((flags >> 2) & 3) {
    case 0: return address.parse(text.c_str(), require_multicast, default_port, AF_UNSPEC);
    case 1: return address.parse(text.c_str(), require_multicast, default_port, AF_INET);
    case 2: return address.parse(text.c_str(), require_multicast, default_port, AF_INET6);
    default:
        settings.forced_family = (flags & 16) ? AF_INET6 : AF_UNSPEC;
        bool ok = address.parse(text.c_str(), require_multicast, default_port);
        settings.forced_family = AF_UNSPEC;
        return ok;
    }
}

int forced_family_of(uint8_t flags) {
    switch ((flags >> 2) & 3) {
    case 1: return AF_INET;
    case 2: return AF_INET6;
    case 3: return (flags & 16) ? AF_INET6 : AF_UNSPEC;
    default: return AF_UNSPEC;
    }
}

// The port a text asks for, or -1 when it names none or a service name.
long requested_port(const std::string& text, bool default_port) {
    size_t slash = text.find('/');
    if (slash == std::string::npos) return default_port ? 10000 : 0;
    std::string service = text.substr(slash + 1);
    if (service.empty() || service.size() > 5 || service.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return strtol(service.c_str(), nullptr, 10);
}

void check_parsed(const Address& a, bool ok, const std::string& text, uint8_t flags) {
    if (!ok) return;
    // parse writes only family, address and port into a cleared Address: the
    // whole storage of a parsed address is its own key.  (After a failure it
    // may hold bytes of every record examined, of both families.)
    check(compare(a, a.key()) == 0, "parse left bytes beyond family, address and port", text);
    check(text.size() <= ADDRESS_TEXT_MAX, "text longer than the limit was accepted", text);
    check(a.family() == AF_INET || a.family() == AF_INET6, "accepted without a family", text);
    int forced = forced_family_of(flags);
    check(forced == AF_UNSPEC || a.family() == forced, "the forced family was not respected", text);
    if (flags & 1) {
        check(a.is_multicast(), "a non-multicast address accepted as a group", text);
    } else {
        check(!a.is_unspecified(), "the unspecified address accepted", text);
    }
    long port = requested_port(text, flags & 2);
    if (port >= 0) check(port <= 65535 && a.port() == port, "the port is not the one asked for", text);
    check(a.length() == (a.family() == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in)), "length", text);
}

void check_text_form(const Address& a, const std::string& text, uint8_t short_size) {
    if (a.family() != AF_INET && a.family() != AF_INET6) return;
    char plain[64];
    char with_port[64];
    a.to_string(plain, sizeof plain, false);
    a.to_string(with_port, sizeof with_port, true);
    check(memchr(plain, 0, sizeof plain) && memchr(with_port, 0, sizeof with_port), "text form not terminated", text);
    check(std::string(with_port) == std::string(plain) + "/" + std::to_string(a.port()),
          "the text form with port is not address/port", text);
    check(a.to_string(true) == with_port, "the two text forms differ", text);

    // The numeric text reads back as the same address.
    Address back;
    check(back.set_family(a.family()) && back.set_address(plain), "the text form does not read back", text);
    check(back.same_address(a), "the text form reads back as another address", text);
    check(back.set_port(a.port()) && compare(back, a.key()) == 0, "rebuilt address differs from the key", text);

    // A short buffer is never overrun and always ends with a terminator.
    char buffer[96];
    memset(buffer, 0x5a, sizeof buffer);
    size_t size = short_size % 64;
    a.to_string(buffer, size, (short_size & 64) != 0);
    for (size_t i = size; i < sizeof buffer; ++i) check(buffer[i] == 0x5a, "to_string wrote past its buffer", text);
    if (size > 0) check(memchr(buffer, 0, size) != nullptr, "to_string left its buffer unterminated", text);
}

void check_pair(const Address& a, const Address& b, const std::string& text) {
    int ab = compare(a, b);
    int ba = compare(b, a);
    check((ab < 0) == (ba > 0) && (ab == 0) == (ba == 0), "compare is not antisymmetric", text);
    check(compare(a, a) == 0 && compare(b, b) == 0, "compare of an address with itself", text);
    check(a.same_address(b) == b.same_address(a), "same_address is not symmetric", text);
    bool known = a.family() == AF_INET || a.family() == AF_INET6;
    if (ab == 0) check(a.same_address(b) == known, "equal storages are not the same address", text);
    if (a.same_address(b)) check(a.key().same_address(b.key()), "keys of the same address differ", text);
    check(compare(a.key(), a.key().key()) == 0, "key of a key differs", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    uint8_t flags = data[0];
    uint8_t short_size = data[1];
    std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
    if (text.find_first_not_of("0123456789abcdefABCDEF.:/%") != std::string::npos) return 0;

    Address a;
    bool ok = parse_with(a, text, flags);
    check_parsed(a, ok, text, flags);
    check_text_form(a, text, short_size);

    uint8_t other_flags = static_cast<uint8_t>(flags >> 5 | (flags & 0x18));
    Address b;
    bool other_ok = parse_with(b, text, other_flags);
    check_parsed(b, other_ok, text, other_flags);
    check_pair(a, b, text);

    // The text as a bare numeric address of either family.
    Address c;
    check(!c.set_address(text.c_str()) && !c.set_port(1), "a cleared address took an address or a port", text);
    check(c.set_family((flags & 0x80) ? AF_INET6 : AF_INET), "set_family refused a known family", text);
    if (c.set_address(text.c_str())) {
        check_text_form(c, text, short_size);
        check_pair(a, c, text);
    }
    check(!c.set_family(AF_UNIX) && c.family() == ((flags & 0x80) ? AF_INET6 : AF_INET),
          "set_family took an unknown family", text);
    return 0;
}
