#include "beacon_group.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "protocol/decode.h"
#include "protocol/wire.h"
#include "state/source_table.h"

namespace {

constexpr uint8_t SENDER_TTL = 64;
constexpr int32_t RECEIVED_TTL = 58;
constexpr uint32_t WINDOW = 40;
constexpr int WINDOWS_BEFORE_RESTART = 8;
constexpr uint32_t RESTART_JUMP = 100000;

class Datagram {
public:
    Datagram() { bytes_ = {PACKET_MAGIC_0, PACKET_MAGIC_1, PROTOCOL_VERSION, PACKET_REPORT, SENDER_TTL}; }

    void byte(uint8_t b) { bytes_.push_back(b); }
    void word(uint32_t v) {
        uint8_t b[4];
        put_u32(b, v);
        bytes_.insert(bytes_.end(), b, b + 4);
    }
    void real(float f) {
        uint32_t bits;
        memcpy(&bits, &f, sizeof bits);
        word(bits);
    }
    void text(uint8_t type, const std::string& value) {
        byte(type);
        byte(static_cast<uint8_t>(value.size()));
        bytes_.insert(bytes_.end(), value.begin(), value.end());
    }
    // Opens a source TLV; its length byte is set by close_source.
    size_t open_source(const Address& listed) {
        byte(listed.family() == AF_INET6 ? TLV_SOURCE_IPV6 : TLV_SOURCE_IPV4);
        size_t length_at = bytes_.size();
        byte(0);
        const uint8_t* address = listed.address_bytes();
        bytes_.insert(bytes_.end(), address, address + listed.address_size());
        byte(static_cast<uint8_t>(listed.port() >> 8));
        byte(static_cast<uint8_t>(listed.port()));
        return length_at;
    }
    void close_source(size_t length_at) { bytes_[length_at] = static_cast<uint8_t>(bytes_.size() - length_at - 1); }
    std::vector<uint8_t> take() { return std::move(bytes_); }

private:
    std::vector<uint8_t> bytes_;
};

// One channel's figures of a listed beacon as its reporter saw them; they
// differ from pair to pair so the dump prints varied numbers, some delays
// negative (the sender's clock ahead).
void put_figures(Datagram& d, uint8_t type, int sender, int listed) {
    int mix = sender * 7 + listed * 3 + (type == TLV_SSM_STATS ? 11 : 0);
    d.byte(type);
    d.byte(20);
    d.word(static_cast<uint32_t>(START_WALL_MS) + static_cast<uint32_t>(mix));
    d.word(3600u + static_cast<uint32_t>(listed));
    d.byte(static_cast<uint8_t>(1 + mix % 20));
    d.real(static_cast<float>(mix % 200 - 20) * 0.137f);
    d.real(static_cast<float>(mix % 50) * 0.05f);
    d.byte(static_cast<uint8_t>(mix % 12));
    d.byte(static_cast<uint8_t>(mix % 3 == 0 ? 1 : 0));
    d.byte(static_cast<uint8_t>(mix % 5));
}

// Offsets within one restart period of ProbeStream, built once.
const std::vector<uint32_t>& stream_pattern() {
    static const std::vector<uint32_t> pattern = [] {
        std::vector<uint32_t> p;
        for (int w = 0; w < WINDOWS_BEFORE_RESTART; ++w) {
            uint32_t n = static_cast<uint32_t>(w) * WINDOW;
            for (uint32_t j = 0; j < WINDOW; ++j) {
                if (j == 5) continue;  // lost
                if (j == 12 || j == 30) {
                    p.push_back(n + j + 1);  // overtakes j, which arrives late
                    p.push_back(n + j);
                    ++j;
                    continue;
                }
                p.push_back(n + j);
                if (j == 20) p.push_back(n + j);  // duplicate
            }
        }
        return p;
    }();
    return pattern;
}

void feed(SourceTable& table, const BeaconGroup& group, int sender, const std::vector<uint8_t>& datagram,
          uint64_t now) {
    handle_beacon_packet_at(table, group.local, group.remote[static_cast<size_t>(sender)], START_WALL_MS + now,
                            RECEIVED_TTL, datagram.data(), static_cast<int32_t>(datagram.size()), false, now);
}

}  // namespace

Address beacon_address(int family, int index) {
    char text[64];
    if (family == AF_INET6)
        snprintf(text, sizeof text, "2001:db8:20::%x", index + 1);
    else
        snprintf(text, sizeof text, "10.20.%d.%d", index / 250, index % 250 + 1);
    Address a;
    a.set_family(family);
    a.set_address(text);
    a.set_port(10000);
    return a.key();
}

std::string beacon_name(int index) {
    char text[32];
    snprintf(text, sizeof text, "beacon-%03d.example", index);
    return text;
}

std::string beacon_contact(int index) {
    char text[32];
    snprintf(text, sizeof text, "noc@site%03d.example", index);
    return text;
}

BeaconGroup::BeaconGroup(int family, int size) : local(beacon_address(family, size)) {
    for (int i = 0; i < size; ++i) remote.push_back(beacon_address(family, i));
}

void encode_probe(uint8_t* out, uint32_t seq, uint32_t ts) {
    out[0] = PACKET_MAGIC_0;
    out[1] = PACKET_MAGIC_1;
    out[2] = PROTOCOL_VERSION;
    out[3] = PACKET_PROBE;
    put_u32(out + 4, seq);
    put_u32(out + 8, ts);
}

std::vector<uint8_t> website_report(int sender) {
    Datagram d;
    d.text(TLV_NAME, beacon_name(sender));
    d.text(TLV_CONTACT, beacon_contact(sender));
    char url[64];
    snprintf(url, sizeof url, "http://site%03d.example/beacon/", sender);
    d.text('G', url);
    snprintf(url, sizeof url, "http://lg.site%03d.example/", sender);
    d.text('L', url);
    d.text(TLV_COUNTRY, "DE");
    d.byte(TLV_FLAGS);
    d.byte(4);
    d.word(3);
    return d.take();
}

std::vector<uint8_t> figures_report(const BeaconGroup& group, int sender, bool include_local) {
    Datagram d;
    d.text(TLV_NAME, beacon_name(sender));
    d.text(TLV_CONTACT, beacon_contact(sender));
    int size = static_cast<int>(group.remote.size());
    int end = include_local ? size + 1 : size;
    for (int listed = 0; listed < end; ++listed) {
        if (listed == sender) continue;
        size_t at = d.open_source(listed == size ? group.local : group.remote[static_cast<size_t>(listed)]);
        put_figures(d, TLV_ASM_STATS, sender, listed);
        put_figures(d, TLV_SSM_STATS, sender, listed);
        d.close_source(at);
    }
    return d.take();
}

std::vector<uint8_t> map_report(const BeaconGroup& group, int sender, bool include_local) {
    Datagram d;
    d.text(TLV_NAME, beacon_name(sender));
    d.text(TLV_CONTACT, beacon_contact(sender));
    int size = static_cast<int>(group.remote.size());
    int end = include_local ? size + 1 : size;
    for (int listed = 0; listed < end; ++listed) {
        if (listed == sender) continue;
        size_t at = d.open_source(listed == size ? group.local : group.remote[static_cast<size_t>(listed)]);
        d.text(TLV_NAME, beacon_name(listed));
        d.text(TLV_CONTACT, beacon_contact(listed));
        d.close_source(at);
    }
    return d.take();
}

uint32_t ProbeStream::next() {
    const std::vector<uint32_t>& pattern = stream_pattern();
    if (position_ == pattern.size()) {
        position_ = 0;
        base_ += RESTART_JUMP;
    }
    return base_ + pattern[position_++];
}

uint64_t build_matrix(SourceTable& table, const BeaconGroup& group, uint64_t now) {
    int size = static_cast<int>(group.remote.size());
    uint8_t probe[PROBE_LENGTH];
    for (int i = 0; i < size; ++i) {
        for (bool ssm : {false, true}) {
            ProbeStream stream(1000000u * static_cast<uint32_t>(i + 1) + (ssm ? 500000u : 0u));
            for (uint32_t k = 0; k < 2 * WINDOW; ++k) {
                ++now;
                uint64_t wall = START_WALL_MS + now;
                encode_probe(probe, stream.next(), static_cast<uint32_t>(wall) - 15 - k % 4);
                handle_beacon_packet_at(table, group.local, group.remote[static_cast<size_t>(i)], wall, RECEIVED_TTL,
                                        probe, PROBE_LENGTH, ssm, now);
            }
        }
        feed(table, group, i, website_report(i), ++now);
    }
    for (int i = 0; i < size; ++i) feed(table, group, i, map_report(group, i, false), ++now);
    for (int i = 0; i < size; ++i) feed(table, group, i, figures_report(group, i, false), ++now);
    return now;
}
