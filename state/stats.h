// Reception statistics of one sender on one channel: a window of 40
// sequence numbers, published as loss, delay, jitter, duplicates and
// reordering each time it completes.
//
// A probe missing from a window may have been lost by the network or dropped
// by this host's own socket (its buffer full while the beacon was busy).
// The socket's drop count comes with every datagram; a window publishes
// only the loss its socket's drops cannot explain: the missing probes less
// the datagrams the socket dropped since the previous window completed, at
// least 0.  Without local drops that is the whole loss.
#pragma once

#include <cstdint>

constexpr uint32_t STATS_WINDOW = 40;
constexpr uint32_t SEQ_RESET_DISTANCE = 150;
constexpr uint32_t SEEN_CAPACITY = 40;
constexpr double JITTER_WEIGHT = 0.0625;

// beacon_interval * 6 * 1000 ms, recomputed at every use.
uint32_t source_timeout_ms();
// now - t (unsigned 64-bit) greater than source_timeout_ms().
bool is_stale(uint64_t t, uint64_t now);

struct PublishedStats {
    uint64_t timestamp = 0;
    uint64_t updated_ms = 0;
    float delay = 0;
    float jitter = 0;
    float loss = 0;
    float dup = 0;
    float ooo = 0;
    uint8_t valid = 0;
    uint8_t ttl = 0;

    void expire(uint64_t now);
};

struct ReceptionStats {
    uint32_t last_seq = 0;
    uint32_t expected = 0;
    uint32_t received = 0;
    uint32_t seen_count = 0;
    int32_t delay_sum = 0;
    uint32_t last_delay = 0;
    int32_t lost_count = 0;
    int32_t dup_count = 0;
    int32_t ooo_count = 0;
    // The socket's drop count when the window began (the previous one
    // completed, or the statistics started again).
    uint32_t drops_mark = 0;
    PublishedStats figures;
    uint32_t seen[SEEN_CAPACITY];

    // local_drops: the receiving socket's drop count as of this probe.
    void update(uint8_t ttl, uint32_t seq, uint32_t ts, uint64_t now, uint64_t receive_ms, uint32_t local_drops = 0);
    void reset(uint32_t start, uint64_t now);

private:
    // Empties the current window; last_seq, last_delay and the figures stay.
    void clear_window();
};
