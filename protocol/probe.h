#pragma once

#include <cstdint>

class Address;

// A channel's sequence counter: drawn with rand() on its first probe.
struct ProbeCounter {
    uint32_t value = 0;
    bool started = false;
};

extern ProbeCounter probe_sequence;      // probes to beacon_group
extern ProbeCounter ssm_probe_sequence;  // probes to ssm_group

// Writes the 12-byte probe; -1 (and nothing written) when capacity < 12.
int32_t build_probe(uint8_t* buffer, int32_t capacity, uint32_t sequence, uint32_t timestamp);
// Builds one probe in packet_buffer and sends it on beacon_socket.
void send_probe(const Address& destination, ProbeCounter& counter);
