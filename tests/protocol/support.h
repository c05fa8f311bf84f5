// Helpers of the protocol tests: datagrams written byte by byte, and a
// loopback socket that catches what the beacon sends.
#pragma once

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "net/address.h"
#include "tests/test_support.h"

using Bytes = std::vector<uint8_t>;

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// One TLV: type, length, value.
inline Bytes tlv(uint8_t type, const Bytes& value) { return Bytes{type, static_cast<uint8_t>(value.size())} + value; }
inline Bytes tlv(uint8_t type, const std::string& value) { return tlv(type, text(value)); }

// The five bytes that open a report: magic, version 1, type 1, sender TTL.
inline Bytes report_header(uint8_t sender_ttl = 64) { return {0xBE, 0xAC, 0x01, 0x01, sender_ttl}; }

// A UDP socket on 127.0.0.1 with a free port, and its Address; receive()
// waits at most `wait` for a datagram and gives {} when none came.
struct LoopbackSocket {
    int fd = -1;
    Address address;

    explicit LoopbackSocket(timeval wait) {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in in{};
        in.sin_family = AF_INET;
        in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&in), sizeof in);
        socklen_t length = sizeof in;
        getsockname(fd, reinterpret_cast<sockaddr*>(&in), &length);
        address = make_address("127.0.0.1", ntohs(in.sin_port));
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~LoopbackSocket() { close(fd); }
    LoopbackSocket(const LoopbackSocket&) = delete;
    LoopbackSocket& operator=(const LoopbackSocket&) = delete;

    Bytes receive() {
        uint8_t data[9000];
        ssize_t n = recv(fd, data, sizeof data, 0);
        if (n < 0) return {};
        return Bytes(data, data + n);
    }
};
