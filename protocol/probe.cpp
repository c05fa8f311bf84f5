#include "protocol/probe.h"

#include <sys/socket.h>

#include <cstdlib>

#include "control/runtime.h"
#include "net/address.h"
#include "net/datagram.h"
#include "output/bandwidth.h"
#include "protocol/wire.h"
#include "scheduler/main_loop.h"

ProbeCounter probe_sequence;
ProbeCounter ssm_probe_sequence;

int32_t build_probe(uint8_t* buffer, int32_t capacity, uint32_t sequence, uint32_t timestamp) {
    if (capacity < PROBE_LENGTH) return -1;
    buffer[0] = PACKET_MAGIC_0;
    buffer[1] = PACKET_MAGIC_1;
    buffer[2] = PROTOCOL_VERSION;
    buffer[3] = PACKET_PROBE;
    put_u32(buffer + 4, sequence);
    put_u32(buffer + 8, timestamp);
    return PROBE_LENGTH;
}

void send_probe(const Address& destination, ProbeCounter& counter) {
    // Each channel starts at a random number, so receivers see a restarted
    // beacon as a jump in the sequence and begin a fresh window.
    if (!counter.started) {
        counter.value = static_cast<uint32_t>(rand());
        counter.started = true;
    }
    uint32_t sequence = counter.value;
    uint32_t timestamp = static_cast<uint32_t>(wallclock_ms());
    int32_t length = build_probe(packet_buffer, PACKET_BUFFER_SIZE, sequence, timestamp);
    // The number is used up even when the send fails: receivers count it lost.
    counter.value = sequence + 1;
    if (length < 0) return;
    ssize_t sent = sendto(runtime.beacon_socket, packet_buffer, static_cast<size_t>(length), 0,
                          destination.as_sockaddr(), destination.length());
    if (sent > 0) bytes_sent += static_cast<uint32_t>(sent);
}
