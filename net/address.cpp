#include "net/address.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cstdio>
#include <cstring>

#include "control/log.h"
#include "control/settings.h"

namespace {

sockaddr_in* v4(sockaddr_storage& s) { return reinterpret_cast<sockaddr_in*>(&s); }
const sockaddr_in* v4(const sockaddr_storage& s) { return reinterpret_cast<const sockaddr_in*>(&s); }
sockaddr_in6* v6(sockaddr_storage& s) { return reinterpret_cast<sockaddr_in6*>(&s); }
const sockaddr_in6* v6(const sockaddr_storage& s) { return reinterpret_cast<const sockaddr_in6*>(&s); }

bool known_family(int family) { return family == AF_INET || family == AF_INET6; }

}  // namespace

void Address::clear() { memset(&storage_, 0, sizeof storage_); }

bool Address::set_family(int family) {
    if (!known_family(family)) return false;
    storage_.ss_family = static_cast<sa_family_t>(family);
    return true;
}

bool Address::set_port(uint16_t port) {
    if (family() == AF_INET6) {
        v6(storage_)->sin6_port = htons(port);
    } else if (family() == AF_INET) {
        v4(storage_)->sin_port = htons(port);
    } else {
        return false;
    }
    return true;
}

uint16_t Address::port() const {
    if (family() == AF_INET6) return ntohs(v6(storage_)->sin6_port);
    if (family() == AF_INET) return ntohs(v4(storage_)->sin_port);
    return 0;
}

bool Address::set_address(const char* numeric_text) {
    if (family() == AF_INET6) return inet_pton(AF_INET6, numeric_text, &v6(storage_)->sin6_addr) > 0;
    if (family() == AF_INET) return inet_pton(AF_INET, numeric_text, &v4(storage_)->sin_addr) > 0;
    return false;
}

bool Address::parse(const char* text, bool require_multicast, bool default_port) {
    return parse(text, require_multicast, default_port, settings.forced_family);
}

bool Address::parse(const char* text, bool require_multicast, bool default_port, int forced_family) {
    char copy[ADDRESS_TEXT_MAX + 1];
    size_t text_length = strlen(text);
    if (text_length > ADDRESS_TEXT_MAX) {
        // Refused rather than resolved cut short: a cut text could name
        // another host.
        log_info("No usable records for %s", text);
        return false;
    }
    memcpy(copy, text, text_length + 1);

    const char* service = default_port ? DEFAULT_BEACON_PORT : nullptr;
    char* slash = strchr(copy, '/');
    if (slash) {
        *slash = '\0';
        service = slash + 1;
    }
    const char* node = copy[0] ? copy : nullptr;

    // The resolver takes a numeric port above 65535 modulo 65536, which
    // would put the beacon on a port nobody asked for.
    if (service && service[0] && strspn(service, "0123456789") == strlen(service)) {
        unsigned long port = 0;
        for (const char* p = service; *p && port <= 65535; ++p) port = port * 10 + static_cast<unsigned long>(*p - '0');
        if (port > 65535) {
            log_info("getaddrinfo failed: %s", gai_strerror(EAI_SERVICE));
            return false;
        }
    }

    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = forced_family;
    hints.ai_socktype = SOCK_DGRAM;
    struct addrinfo* records = nullptr;
    int error = getaddrinfo(node, service, &hints, &records);
    if (error != 0) {
        log_info("getaddrinfo failed: %s", gai_strerror(error));
        return false;
    }

    // Each record examined is written over the storage as it was before the
    // call, so a skipped record of the other family leaves no stray bytes
    // behind the one finally taken.
    const sockaddr_storage before = storage_;
    bool taken = false;
    for (struct addrinfo* r = records; r; r = r->ai_next) {
        if (r->ai_family == AF_INET6 || r->ai_family == AF_INET) storage_ = before;
        if (r->ai_family == AF_INET6 && r->ai_addrlen >= sizeof(sockaddr_in6)) {
            const sockaddr_in6* in = reinterpret_cast<const sockaddr_in6*>(r->ai_addr);
            storage_.ss_family = AF_INET6;
            v6(storage_)->sin6_addr = in->sin6_addr;
            v6(storage_)->sin6_port = in->sin6_port;
        } else if (r->ai_family == AF_INET && r->ai_addrlen >= sizeof(sockaddr_in)) {
            const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(r->ai_addr);
            storage_.ss_family = AF_INET;
            v4(storage_)->sin_addr = in->sin_addr;
            v4(storage_)->sin_port = in->sin_port;
        } else {
            continue;
        }
        taken = require_multicast ? is_multicast() : !is_unspecified();
        if (taken) break;
    }
    freeaddrinfo(records);
    if (!taken) log_info("No usable records for %s", copy);
    return taken;
}

void Address::to_string(char* buffer, size_t size, bool include_port) const {
    if (size == 0) return;
    buffer[0] = '\0';
    if (family() == AF_INET6) {
        if (!inet_ntop(AF_INET6, &v6(storage_)->sin6_addr, buffer, size)) buffer[0] = '\0';
    } else if (family() == AF_INET) {
        if (!inet_ntop(AF_INET, &v4(storage_)->sin_addr, buffer, size)) buffer[0] = '\0';
    }
    if (include_port) {
        size_t used = strlen(buffer);
        snprintf(buffer + used, size - used, "/%u", static_cast<unsigned>(port()));
    }
}

std::string Address::to_string(bool include_port) const {
    char buffer[64];
    to_string(buffer, sizeof buffer, include_port);
    return buffer;
}

bool Address::is_multicast() const {
    if (family() == AF_INET6) return v6(storage_)->sin6_addr.s6_addr[0] == 0xff;
    if (family() == AF_INET) {
        const uint8_t* b = reinterpret_cast<const uint8_t*>(&v4(storage_)->sin_addr);
        return b[0] >= 224 && b[0] <= 239;
    }
    return false;
}

bool Address::is_unspecified() const {
    if (family() == AF_INET6) {
        static const uint8_t zero[16] = {};
        return memcmp(&v6(storage_)->sin6_addr, zero, 16) == 0;
    }
    if (family() == AF_INET) return v4(storage_)->sin_addr.s_addr == 0;
    return true;
}

bool Address::same_address(const Address& other) const {
    if (family() != other.family()) return false;
    if (family() == AF_INET6) return memcmp(&v6(storage_)->sin6_addr, &v6(other.storage_)->sin6_addr, 16) == 0;
    if (family() == AF_INET) return v4(storage_)->sin_addr.s_addr == v4(other.storage_)->sin_addr.s_addr;
    return false;
}

socklen_t Address::length() const {
    return family() == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

const uint8_t* Address::address_bytes() const {
    if (family() == AF_INET6) return v6(storage_)->sin6_addr.s6_addr;
    if (family() == AF_INET) return reinterpret_cast<const uint8_t*>(&v4(storage_)->sin_addr);
    return nullptr;
}

size_t Address::address_size() const {
    if (family() == AF_INET6) return 16;
    if (family() == AF_INET) return 4;
    return 0;
}

bool Address::set_raw(int family, const uint8_t* bytes, const uint8_t port_network_order[2]) {
    if (!set_family(family)) return false;
    if (family == AF_INET6) {
        memcpy(&v6(storage_)->sin6_addr, bytes, 16);
        memcpy(&v6(storage_)->sin6_port, port_network_order, 2);
    } else {
        memcpy(&v4(storage_)->sin_addr, bytes, 4);
        memcpy(&v4(storage_)->sin_port, port_network_order, 2);
    }
    return true;
}

Address Address::key() const {
    Address k;
    if (family() == AF_INET6) {
        k.storage_.ss_family = AF_INET6;
        v6(k.storage_)->sin6_addr = v6(storage_)->sin6_addr;
        v6(k.storage_)->sin6_port = v6(storage_)->sin6_port;
    } else if (family() == AF_INET) {
        k.storage_.ss_family = AF_INET;
        v4(k.storage_)->sin_addr = v4(storage_)->sin_addr;
        v4(k.storage_)->sin_port = v4(storage_)->sin_port;
    }
    return k;
}

int compare(const Address& a, const Address& b) {
    return memcmp(&a.storage(), &b.storage(), sizeof(sockaddr_storage));
}
