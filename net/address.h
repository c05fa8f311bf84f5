// One IPv4 or IPv6 socket address (family, address, port) held in the
// system's generic socket-address storage, so it can go to socket calls as is.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string>

constexpr const char* DEFAULT_BEACON_PORT = "10000";
// Longest text parse() accepts; longer text is refused, never cut.
constexpr size_t ADDRESS_TEXT_MAX = 127;

class Address {
public:
    Address() { clear(); }

    void clear();
    int family() const { return storage_.ss_family; }
    bool set_family(int family);
    bool set_port(uint16_t port);
    uint16_t port() const;  // host order; 0 for "no address"
    bool set_address(const char* numeric_text);

    // Resolves "host" or "host/port" with getaddrinfo, restricted to
    // settings.forced_family.  Logs and gives false on failure.
    bool parse(const char* text, bool require_multicast, bool default_port);
    // The same with an explicit family restriction (AF_UNSPEC for none).
    bool parse(const char* text, bool require_multicast, bool default_port, int forced_family);

    void to_string(char* buffer, size_t size, bool include_port) const;
    std::string to_string(bool include_port) const;

    bool is_multicast() const;
    bool is_unspecified() const;
    bool same_address(const Address& other) const;

    socklen_t length() const;
    const sockaddr* as_sockaddr() const { return reinterpret_cast<const sockaddr*>(&storage_); }
    sockaddr* as_sockaddr() { return reinterpret_cast<sockaddr*>(&storage_); }
    const sockaddr_storage& storage() const { return storage_; }

    // Raw access used by the wire codecs: 4 bytes (IPv4) or 16 bytes (IPv6),
    // nullptr for any other family.
    const uint8_t* address_bytes() const;
    size_t address_size() const;  // 4, 16 or 0
    // Fills family, address bytes and the port exactly as given in network
    // order.  The storage should have been cleared first.
    bool set_raw(int family, const uint8_t* address_bytes, const uint8_t port_network_order[2]);

    // A copy holding only family, address and port on zeroed storage: the
    // form every table key takes, so the scope identifier or flow label the
    // kernel writes into a received sender's address never makes one beacon
    // two keys.
    Address key() const;

private:
    sockaddr_storage storage_;
};

// Byte-wise order of the whole storage (memcmp semantics).
int compare(const Address& a, const Address& b);

struct AddressLess {
    bool operator()(const Address& a, const Address& b) const { return compare(a, b) < 0; }
};
