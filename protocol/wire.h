// Constants of the beacon wire format shared by probes and reports.
#pragma once

#include <cstdint>

constexpr uint8_t PACKET_MAGIC_0 = 0xBE;
constexpr uint8_t PACKET_MAGIC_1 = 0xAC;
constexpr uint8_t PROTOCOL_VERSION = 1;
constexpr uint8_t PACKET_PROBE = 0;
constexpr uint8_t PACKET_REPORT = 1;
constexpr int PROBE_LENGTH = 12;

constexpr uint8_t TLV_NAME = 'n';
constexpr uint8_t TLV_CONTACT = 'a';
constexpr uint8_t TLV_SOURCE_IPV4 = 'i';
constexpr uint8_t TLV_SOURCE_IPV6 = 'I';
constexpr uint8_t TLV_ASM_STATS = 'A';
constexpr uint8_t TLV_SSM_STATS = 'S';
constexpr uint8_t TLV_COUNTRY = 'C';
constexpr uint8_t TLV_FLAGS = 'F';
constexpr uint8_t TLV_LEAVE = 'Q';

inline void put_u32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
inline uint32_t get_u32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
