#pragma once

#include <cstdint>
#include <string>

class Address;
class SourceTable;

// Applies one received beacon datagram to the process-wide table.
// local_drops: the receiving socket's drop count as of this datagram.
void handle_beacon_packet(const Address& from, uint64_t receive_ms, int32_t ttl, const uint8_t* data,
                          int32_t length, bool ssm, uint32_t local_drops = 0);
// The same on a given table, with the local address and the time given.
void handle_beacon_packet_at(SourceTable& table, const Address& local_address, const Address& from,
                             uint64_t receive_ms, int32_t ttl, const uint8_t* data, int32_t length, bool ssm,
                             uint64_t now, uint32_t local_drops = 0);
// Accepts an empty value or one of printable characters only.
bool read_string_tlv(const uint8_t* value, int length, std::string& target);
