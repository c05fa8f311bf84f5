// Hostile datagrams on the beacon group.  Anyone can send to it, so every
// byte of a datagram is the sender's choice.  Each input is a run of records,
// each one datagram with its circumstances:
//
//   byte 0   bits 0-2 sender (one of eight, the local address among them),
//            bit 3 received on the SSM socket, bit 4 run expiry afterwards,
//            bit 5 empty the table first, bit 6 the record sets figures
//            instead (below), bit 7 verbose output (to /dev/null) while it
//            is applied
//   byte 1   received TTL
//   byte 2   time step before it: step * step * 8 ms
//   byte 3-4 datagram length, big-endian (cut to what the input holds)
//   then the datagram
//
// A figures record's bytes are: which Source (index in key order), which
// channel (and more, see inject_figures), the hop byte, then delay, jitter,
// loss, dup and ooo as raw floats.  It stands for a long run of probes, so
// the report and dump checks see figures of every kind, also ones the
// statistics would never publish.
//
// The table lives across inputs (up to a size), so later inputs meet what
// earlier ones built.  After every input the table is checked against its
// bounds, reports of every kind are built from it and decoded again by a
// fresh table, and the dump is rendered and checked for well-formed XML.  A
// broken invariant aborts with a message on standard error.
#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "control/runtime.h"
#include "control/settings.h"
#include "fuzz/quiet_output.h"
#include "net/address.h"
#include "net/multicast.h"
#include "output/bandwidth.h"
#include "output/dump.h"
#include "protocol/decode.h"
#include "protocol/report.h"
#include "protocol/wire.h"
#include "scheduler/timer_queue.h"
#include "state/expiry.h"
#include "state/source_table.h"
#include "tests/xml_check.h"

namespace {

constexpr int SENDER_COUNT = 8;
constexpr uint64_t WALLCLOCK_BASE_MS = 1700000000000ull;
constexpr int32_t REPORT_CAPACITY = 8192;
constexpr size_t CARRIED_SOURCES_MAX = 128;

[[noreturn]] void violated(const char* what, const std::string& detail = "") {
    fprintf(stderr, "invariant violated: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    abort();
}

void check(bool ok, const char* what, const std::string& detail = "") {
    if (!ok) violated(what, detail);
}

Address make_address(int family, const char* text, uint16_t port) {
    Address a;
    a.set_family(family);
    if (!a.set_address(text)) violated("bad built-in address", text);
    a.set_port(port);
    return a;
}

// Records the SSM joins and leaves the table asks for.  The kernel keeps
// one (S,G) membership per source address, whatever the port, so the
// memberships are kept by address: never joined twice, never left unless
// joined.  Joins from one port in seven fail, as a full per-socket source
// list would make them.
class RecordingMembership : public SsmMembership {
public:
    std::set<Address, AddressLess> joined;  // port 0

    static Address channel(const Address& source) {
        Address a = source.key();
        a.set_port(0);
        return a;
    }

    int join(const Address& source) override {
        if (source.port() % 7 == 3) return ENOBUFS;
        if (!joined.insert(channel(source)).second) violated("an address joined twice", source.to_string(true));
        return 0;
    }
    void leave(const Address& source) override {
        if (joined.erase(channel(source)) != 1) violated("an address left without a join", source.to_string(true));
    }
};

struct World {
    Address senders[SENDER_COUNT];
    Address local;
    SourceTable table;
    RecordingMembership membership;
    uint64_t now = 10000000;

    Settings own;
    uint32_t own_flags = FLAG_SSM | FLAG_SSMPING;
    Runtime own_runtime;

    // The decoding side of the round trip: another beacon that receives our
    // reports.
    SourceTable fresh;
    Address reporter;
    Address fresh_local;  // cleared: no listed address is the decoder's own

    QuietOutput quiet;

    World() {
        local = make_address(AF_INET, "192.0.2.1", 10000);
        senders[0] = local;
        senders[1] = make_address(AF_INET, "192.0.2.2", 10000);
        senders[2] = make_address(AF_INET, "192.0.2.2", 10001);
        senders[3] = make_address(AF_INET, "198.51.100.7", 10000);
        senders[4] = make_address(AF_INET6, "2001:db8::1", 10000);
        senders[5] = make_address(AF_INET6, "2001:db8::2", 10000);
        // A link-local sender as the kernel gives it, with a scope identifier
        // and a flow label that must not become part of its key.
        senders[6] = make_address(AF_INET6, "fe80::1", 10000);
        {
            sockaddr_in6* s = reinterpret_cast<sockaddr_in6*>(senders[6].as_sockaddr());
            s->sin6_scope_id = 2;
            s->sin6_flowinfo = htonl(0x12345);
        }
        senders[7] = make_address(AF_INET6, "::ffff:192.0.2.2", 10000);
        reporter = make_address(AF_INET, "203.0.113.9", 10000);
        table.ssm = &membership;

        // What the settings allow is printable text of any kind.
        own.beacon_name = "fuzz \"beacon\" <&> 'one'";
        own.admin_contact = "ops&fuzz@example.org";
        own.country_code = "<&";
        own.websites[WEBSITE_GENERIC] = "http://example.org/?a=1&b=\"2\"";
        own.websites[WEBSITE_LG] = "";
        own.websites[WEBSITE_MATRIX] = "http://example.org/<matrix>";

        own_runtime.local_address = local;
        own_runtime.beacon_group_label = "ff3e::beac/10000";
        own_runtime.ssm_group = make_address(AF_INET6, "ff3e::4321:1234", 10000);
        own_runtime.ssm_socket = 1;  // only read for the group element's text
        own_runtime.beacon_flags = own_flags;
    }

    void reset() {
        table.clear();
        membership.joined.clear();
    }
};

World& world() {
    static World* w = new World();
    return *w;
}

bool printable(const std::string& text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c > 0x7E) return false;
    }
    return true;
}

float float_at(const uint8_t* p) {
    uint32_t bits = get_u32(p);
    float f;
    memcpy(&f, &bits, sizeof f);
    return f;
}

uint32_t bits_of(float f) {
    uint32_t b;
    memcpy(&b, &f, sizeof b);
    return b;
}

void inject_figures(World& w, const uint8_t* data, size_t size) {
    if (size < 23 || w.table.sources.empty()) return;
    size_t index = data[0] % w.table.sources.size();
    auto it = w.table.sources.begin();
    std::advance(it, static_cast<long>(index));
    // Channel byte: bit 0 SSM, bit 1 also set the Source's sender TTL, bit 2
    // the same figures for every Source from this one on.
    uint8_t channel = data[1];
    for (; it != w.table.sources.end(); ++it) {
        Source& source = it->second;
        PublishedStats& figures = (channel & 1) ? source.ssm_stats.figures : source.asm_stats.figures;
        figures.ttl = data[2];
        figures.delay = float_at(data + 3);
        figures.jitter = float_at(data + 7);
        figures.loss = float_at(data + 11);
        figures.dup = float_at(data + 15);
        figures.ooo = float_at(data + 19);
        figures.timestamp = w.now * 7;
        figures.updated_ms = w.now;
        figures.valid = 1;
        if (channel & 2) source.sender_ttl = data[2] ^ 0x5a;
        if (!(channel & 4)) break;
    }
}

// ---- the table's own invariants ----

void check_table(World& w) {
    const SourceTable& t = w.table;
    check(t.sources.size() <= MAX_SOURCES, "more Sources than MAX_SOURCES");
    check(t.external_count() <= MAX_EXTERNALS_TOTAL, "more reported entries than MAX_EXTERNALS_TOTAL");
    size_t externals = 0;
    for (const auto& entry : t.sources) {
        const Address& key = entry.first;
        const Source& s = entry.second;
        check(key.family() == AF_INET || key.family() == AF_INET6, "a key of no family");
        check(compare(key, key.key()) == 0, "a key with bytes beyond family, address and port",
              key.to_string(true));
        check(s.external_sources.size() <= MAX_EXTERNALS_PER_SOURCE, "more entries than MAX_EXTERNALS_PER_SOURCE");
        externals += s.external_sources.size();
        check(printable(s.name) && printable(s.contact), "a non-printable name or contact");
        check(s.country.empty() || s.country.size() == 2, "a country that is not two bytes");
        for (const auto& site : s.websites) {
            check(site.first == WEBSITE_GENERIC || site.first == WEBSITE_LG || site.first == WEBSITE_MATRIX,
                  "a website of an unknown type");
            check(printable(site.second), "a non-printable website");
        }
        check(s.last_update_ms <= w.now && s.created_ms <= s.last_update_ms, "Source times out of order");
        for (const auto& ext : s.external_sources) {
            check(compare(ext.first, ext.first.key()) == 0, "a reported entry's key with stray bytes");
            check(printable(ext.second.name) && printable(ext.second.contact), "a non-printable reported name");
            check(!ext.second.identified || !ext.second.name.empty(), "an identified reported entry without a name");
        }
    }
    check(externals == t.external_count(), "the reported-entry count is out of step with the maps");
    // Every membership has a Source of its address in the table, and every
    // Source counted in a membership finds it joined.
    std::set<Address, AddressLess> addresses;
    for (const auto& entry : t.sources) {
        Address channel = RecordingMembership::channel(entry.first);
        addresses.insert(channel);
        if (entry.second.ssm_member) {
            check(w.membership.joined.count(channel) == 1, "a Source counted in a membership never joined",
                  entry.first.to_string(true));
        }
    }
    for (const Address& channel : w.membership.joined) {
        check(addresses.count(channel) == 1, "an SSM membership outlived every Source of its address",
              channel.to_string(false));
    }
}

// ---- reports built from the table, decoded by another beacon ----

struct Expected {
    const Address* key;
    const Source* source;
    size_t name_length;
    size_t contact_length;
};

// Which Sources a report of this kind lists and how long it is, worked out
// from the wire format: the header, the name and contact TLVs, then one
// source TLV per listed Source in key order until one does not fit.
int32_t expected_report(const World& w, uint32_t kind, int32_t capacity, std::vector<Expected>& listed) {
    int64_t length = 5 + 2 + static_cast<int64_t>(w.own.beacon_name.size()) + 2 +
                     static_cast<int64_t>(w.own.admin_contact.size());
    if (length > capacity) return -1;
    for (const auto& entry : w.table.sources) {
        const Source& s = entry.second;
        bool asm_valid = s.asm_stats.figures.valid;
        bool ssm_valid = s.ssm_stats.figures.valid;
        if (!asm_valid && !ssm_valid) continue;
        if (kind == SEND_MAP_REPORT && !s.identified) continue;
        size_t address_size = entry.first.family() == AF_INET6 ? 16 : 4;
        size_t value = address_size + 2;
        Expected e{&entry.first, &s, 0, 0};
        if (kind == SEND_REPORT) {
            value += (asm_valid ? 22 : 0) + (ssm_valid ? 22 : 0);
        } else {
            // A value has one length byte.  The name keeps what it can and
            // the contact gets the rest of the room.
            size_t room = TLV_VALUE_MAX - value - 4;
            e.name_length = std::min(s.name.size(), room);
            e.contact_length = std::min(s.contact.size(), room - e.name_length);
            value += 4 + e.name_length + e.contact_length;
        }
        check(value <= TLV_VALUE_MAX, "a source TLV value longer than its length byte allows");
        if (length + 2 + static_cast<int64_t>(value) > capacity) break;
        length += 2 + static_cast<int64_t>(value);
        listed.push_back(e);
    }
    return static_cast<int32_t>(length);
}

// A fraction sent as a byte of 255ths, truncated; out-of-range values are
// held at the ends of the byte.
void check_fraction(float sent, float got, const char* what) {
    float expect_low;
    float expect_high;
    if (!(sent > 0.0f)) {
        expect_low = expect_high = 0.0f;
    } else if (sent >= 1.0f) {
        expect_low = expect_high = 1.0f;
    } else {
        expect_low = sent - 1.0f / 255.0f - 1e-6f;
        expect_high = sent + 1e-6f;
    }
    if (!(got >= expect_low && got <= expect_high)) {
        char text[160];
        snprintf(text, sizeof text, "%s sent %.9g came back %.9g", what, static_cast<double>(sent),
                 static_cast<double>(got));
        violated("a figure outside the precision of its byte", text);
    }
}

// Duplicates in 25.5ths rounded up; the byte 255 means "more than 10" and
// comes back as 1e10, so does everything that rounds up to it (from 254/25.5,
// about 9.96, on).
void check_dup(float sent, float got) {
    bool ok;
    if (sent > 10.0f || std::ceil(static_cast<double>(sent) * 25.5) >= 255.0) {
        ok = got == 1e10f;
    } else if (!(sent > 0.0f)) {
        ok = got == 0.0f;
    } else {
        ok = got >= sent - 1e-5f && got <= sent + 1.0f / 25.5f + 1e-5f;
    }
    if (!ok) {
        char text[160];
        snprintf(text, sizeof text, "dup sent %.9g came back %.9g", static_cast<double>(sent), static_cast<double>(got));
        violated("a duplicates figure outside the precision of its byte", text);
    }
}

void check_figures(const World& w, const Source& source, const PublishedStats& sent, const PublishedStats& got,
                   const ExternalSource& entry) {
    check(got.valid, "figures sent but not valid at the receiver");
    check(got.timestamp == static_cast<uint32_t>(sent.timestamp), "timestamp changed on the way");
    check(entry.age == static_cast<uint32_t>((w.now - source.created_ms) / 1000), "age changed on the way");
    uint32_t sender_ttl = source.sender_ttl != 0 ? source.sender_ttl : MULTICAST_HOPS;
    check(got.ttl == static_cast<uint8_t>(sender_ttl - sent.ttl), "hop count changed on the way");
    check(bits_of(got.delay) == bits_of(sent.delay), "delay not carried exactly");
    check(bits_of(got.jitter) == bits_of(sent.jitter), "jitter not carried exactly");
    check_fraction(sent.loss, got.loss, "loss");
    check_fraction(sent.ooo, got.ooo, "ooo");
    check_dup(sent.dup, got.dup);
}

void round_trip(World& w, uint32_t kind, int32_t capacity) {
    static uint8_t buffer[REPORT_CAPACITY];
    std::vector<Expected> listed;
    int32_t expected = expected_report(w, kind, capacity, listed);
    int32_t length = encode_report_from(buffer, capacity, kind, w.own, w.own_flags, w.table, w.now);
    check(length <= capacity, "a report longer than its buffer");
    if (length != expected) {
        violated("report length differs from what its listed Sources make",
                 "kind " + std::to_string(kind) + " capacity " + std::to_string(capacity) + ": " +
                     std::to_string(length) + " instead of " + std::to_string(expected));
    }
    if (getenv("FUZZ_PACKET_TRACE")) {
        fprintf(stderr, "kind %u capacity %d: %d bytes, %zu of %zu Sources listed\n", kind, capacity, length,
                listed.size(), w.table.sources.size());
    }
    if (length < 0) return;

    w.fresh.clear();
    uint64_t later = w.now + 1;
    handle_beacon_packet_at(w.fresh, w.fresh_local, w.reporter, WALLCLOCK_BASE_MS + later, 100, buffer, length,
                            false, later);
    auto sender_it = w.fresh.sources.find(w.reporter);
    check(sender_it != w.fresh.sources.end(), "the reporter is not in the receiving table");
    const Source& sender = sender_it->second;
    check(sender.identified && sender.name == w.own.beacon_name, "the reporter's name did not arrive");
    check(sender.contact == w.own.admin_contact, "the reporter's contact did not arrive");
    check(sender.sender_ttl == static_cast<uint32_t>(MULTICAST_HOPS), "the reporter's TTL byte did not arrive");

    const ExternalMap& got = sender.external_sources;
    if (got.size() != listed.size()) {
        violated("the receiver's list differs from the listed Sources",
                 std::to_string(got.size()) + " instead of " + std::to_string(listed.size()));
    }
    auto g = got.begin();
    for (const Expected& e : listed) {
        check(compare(g->first, *e.key) == 0, "a listed address changed on the way", e.key->to_string(true));
        const ExternalSource& entry = g->second;
        const Source& s = *e.source;
        auto listed_source = w.fresh.sources.find(*e.key);
        check(listed_source != w.fresh.sources.end(), "a listed Source missing from the receiving table");
        if (kind == SEND_REPORT) {
            check(entry.asm_stats.valid == s.asm_stats.figures.valid, "ASM figures appeared or vanished");
            check(entry.ssm_stats.valid == s.ssm_stats.figures.valid, "SSM figures appeared or vanished");
            if (s.asm_stats.figures.valid) check_figures(w, s, s.asm_stats.figures, entry.asm_stats, entry);
            if (s.ssm_stats.figures.valid) check_figures(w, s, s.ssm_stats.figures, entry.ssm_stats, entry);
            check(!entry.identified, "a report without names identified an entry");
        } else {
            std::string name = s.name.substr(0, e.name_length);
            std::string contact = s.contact.substr(0, e.contact_length);
            check(entry.name == name, "a listed name changed on the way", s.name);
            check(entry.contact == contact, "a listed contact changed on the way", s.contact);
            check(entry.identified == !name.empty(), "a listed name identified wrongly");
            check(!entry.asm_stats.valid && !entry.ssm_stats.valid, "a map report carried figures");
            if (compare(*e.key, w.reporter) == 0) continue;  // the reporter's own record keeps its own name
            const Source& made = listed_source->second;
            check(made.identified == !name.empty(), "a listed Source identified wrongly");
            if (!name.empty()) check(made.name == name, "a listed Source took another name");
            check(made.contact == contact, "a listed Source did not take the listed contact");
        }
        ++g;
    }
    // The receiver knows the reporter and everything it listed, nothing else.
    size_t expected_sources = listed.size() + 1;
    for (const Expected& e : listed) {
        if (compare(*e.key, w.reporter) == 0) --expected_sources;
    }
    check(w.fresh.sources.size() == expected_sources, "the receiving table holds Sources nobody listed");
}

void website_round_trip(World& w) {
    static uint8_t buffer[REPORT_CAPACITY];
    int32_t length = encode_report_from(buffer, REPORT_CAPACITY, SEND_WEBSITE_REPORT, w.own, w.own_flags, w.table, w.now);
    check(length > 0 && length <= REPORT_CAPACITY, "the website report was not built");
    w.fresh.clear();
    handle_beacon_packet_at(w.fresh, w.fresh_local, w.reporter, WALLCLOCK_BASE_MS, 100, buffer, length, false, w.now);
    auto it = w.fresh.sources.find(w.reporter);
    check(it != w.fresh.sources.end(), "the website report's sender is not in the receiving table");
    check(it->second.websites == w.own.websites, "websites changed on the way");
    check(it->second.country == w.own.country_code, "country changed on the way");
    check(it->second.flags == w.own_flags, "flags changed on the way");

    length = encode_report_from(buffer, REPORT_CAPACITY, LEAVE_REPORT, w.own, w.own_flags, w.table, w.now);
    check(length > 0 && length <= REPORT_CAPACITY, "the leave report was not built");
    handle_beacon_packet_at(w.fresh, w.fresh_local, w.reporter, WALLCLOCK_BASE_MS, 100, buffer, length, false, w.now);
    check(w.fresh.sources.empty(), "a leave report left its sender in the table");
}

// ---- the dump ----

void check_dump(World& w) {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    if (!out) violated("open_memstream failed");
    DumpContext context{&w.own, &w.own_runtime, 5.0, w.now > 5000 ? w.now - 5000 : 0, 1.5, 2.25};
    render_dump(out, context, w.table, w.now);
    fclose(out);
    std::string document(text, size);
    free(text);
    std::string error = xml_check(document);
    if (!error.empty()) violated("the dump is not well-formed XML", error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    World& w = world();
    beacon_interval = 5.0;
    // A large table is carried over only so far: every check below walks the
    // whole table, and one input can still fill it to its bounds by itself.
    if (w.table.sources.size() > CARRIED_SOURCES_MAX) w.reset();
    size_t position = 0;
    int32_t small_capacity = REPORT_CAPACITY;
    if (size > 0) small_capacity = 12 + static_cast<int32_t>(data[size - 1]) * 4;

    while (size - position >= 5) {
        uint8_t control = data[position];
        int32_t ttl = data[position + 1];
        uint64_t step = data[position + 2];
        size_t length = static_cast<size_t>(data[position + 3]) << 8 | data[position + 4];
        position += 5;
        if (length > size - position) length = size - position;
        const uint8_t* packet = data + position;
        position += length;

        if (control & 0x20) w.reset();
        w.now += step * step * 8;
        bool verbose = control & 0x80;
        if (verbose) {
            w.quiet.silence();
            settings.verbose = 5;
        }
        if (control & 0x40) {
            inject_figures(w, packet, length);
        } else {
            // Copied so that the sanitizer sees the datagram's true end.
            std::vector<uint8_t> datagram(packet, packet + length);
            handle_beacon_packet_at(w.table, w.local, w.senders[control & 7], WALLCLOCK_BASE_MS + w.now, ttl,
                                    datagram.data(), static_cast<int32_t>(datagram.size()), (control & 8) != 0,
                                    w.now);
        }
        if (verbose) {
            settings.verbose = 0;
            w.quiet.restore();
        }
        if (control & 0x10) expire_sources_at(w.table, w.now);
        check(w.table.sources.size() <= MAX_SOURCES && w.table.external_count() <= MAX_EXTERNALS_TOTAL,
              "the table grew past its bounds");
    }

    check_table(w);
    round_trip(w, SEND_REPORT, REPORT_CAPACITY);
    round_trip(w, SEND_MAP_REPORT, REPORT_CAPACITY);
    round_trip(w, SEND_REPORT, small_capacity);
    round_trip(w, SEND_MAP_REPORT, small_capacity);
    website_round_trip(w);
    check_dump(w);
    return 0;
}
