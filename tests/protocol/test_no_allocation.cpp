// A probe from a beacon already in the table must not touch the heap: it
// arrives ten times per burst from every beacon of the group.  This program
// replaces the global operator new with one that counts, but only while a
// test switches counting on around the calls it measures; everything else
// in the program allocates as usual.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "control/runtime.h"
#include "control/settings.h"
#include "net/address.h"
#include "protocol/decode.h"
#include "state/source_table.h"
#include "tests/test_support.h"

namespace {

thread_local bool counting = false;
thread_local uint64_t counted = 0;

void* allocate(std::size_t size) {
    if (counting) ++counted;
    void* p = std::malloc(size == 0 ? 1 : size);
    if (!p) throw std::bad_alloc();
    return p;
}

void* allocate_nothrow(std::size_t size) noexcept {
    if (counting) ++counted;
    return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

// Every non-aligned form, so that new and delete always pair through malloc
// and free (also under the address sanitizer, which checks the pairing).
void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate_nothrow(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate_nothrow(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

// Allocations made by work() on this thread.
template <typename Work>
uint64_t allocations_during(Work&& work) {
    counted = 0;
    counting = true;
    work();
    counting = false;
    return counted;
}

constexpr int SOURCES = 150;
constexpr uint64_t START_MS = 700000;
constexpr uint64_t WALL_MS = 1700000000000ull;
// One number in a window of 40.
constexpr float ONE_IN_FORTY = 1.0f / 40.0f;

Address beacon(int index) {
    char text[32];
    snprintf(text, sizeof text, "10.30.%d.%d", index / 200, index % 200 + 1);
    return make_address(AF_INET, text, 10000);
}

struct Datagram {
    int sender;
    bool ssm;
    int32_t length;
    uint8_t bytes[16];
};

Datagram probe(int sender, uint32_t seq, bool ssm = false) {
    Datagram d{sender, ssm, 12, {0xBE, 0xAC, 0x01, 0x00}};
    uint32_t seq_be = htonl(seq);
    memcpy(d.bytes + 4, &seq_be, 4);
    // The timestamp is filled when the datagram is sent, from the receive
    // time, so every probe has a real one-way delay.
    return d;
}

class NoAllocationTest : public ::testing::Test {
public:
    const Source& source(int index) const { return table.sources.at(senders[static_cast<size_t>(index)].key()); }

protected:
    void SetUp() override {
        settings = Settings{};
        runtime = Runtime{};
        local = beacon(SOURCES);
        // Every sender becomes known through a bare report, which leaves its
        // statistics untouched.
        const uint8_t report[] = {0xBE, 0xAC, 0x01, 0x01, 64};
        for (int i = 0; i < SOURCES; ++i) {
            senders.push_back(beacon(i));
            handle_beacon_packet_at(table, local, senders.back(), WALL_MS + now, 60, report, sizeof report, false,
                                    now);
        }
    }
    void TearDown() override {
        settings = Settings{};
        runtime = Runtime{};
    }

    // Feeds the datagrams, prepared beforehand, counting allocations only
    // around the decoder.
    uint64_t feed(std::vector<Datagram>& datagrams) {
        uint64_t total = 0;
        for (Datagram& d : datagrams) {
            ++now;
            uint64_t receive_ms = WALL_MS + now;
            uint32_t ts_be = htonl(static_cast<uint32_t>(receive_ms) - 20 - static_cast<uint32_t>(now % 5));
            memcpy(d.bytes + 8, &ts_be, 4);
            const Address& from = senders[static_cast<size_t>(d.sender)];
            total += allocations_during([&] {
                handle_beacon_packet_at(table, local, from, receive_ms, 58, d.bytes, d.length, d.ssm, now);
            });
        }
        return total;
    }

    SourceTable table;
    Address local;
    std::vector<Address> senders;
    uint64_t now = START_MS;
};

TEST_F(NoAllocationTest, CounterSeesAllocationsOnlyInsideItsScope) {
    EXPECT_EQ(allocations_during([] {}), 0u);
    EXPECT_GE(allocations_during([] {
                  int* p = new int(1);
                  delete p;
                  std::string text(100, 'x');
                  EXPECT_EQ(text.size(), 100u);
              }),
              2u);
    // A probe from an unknown sender adds a Source, which must be seen.
    Address stranger = beacon(SOURCES + 1);
    Datagram d = probe(0, 5000);
    EXPECT_GT(allocations_during([&] {
                  handle_beacon_packet_at(table, local, stranger, WALL_MS + now, 58, d.bytes, d.length, false, now);
              }),
              0u);
    EXPECT_EQ(table.sources.size(), static_cast<size_t>(SOURCES + 1));
}

// Each case sends probes from known senders and then checks that the
// statistics did the work the sequence numbers call for, so a path that
// silently did nothing cannot pass.  Expected shares follow from the window
// arithmetic: a window spans 40 numbers; one lost number, one late arrival
// or one duplicate in it is 1/40.
TEST_F(NoAllocationTest, ProbesFromKnownSendersAllocateNothing) {
    struct Case {
        const char* name;
        std::vector<Datagram> (*make)();
        void (*check)(const NoAllocationTest& t);
    };
    const Case cases[] = {
        {"in order, ten window publications",
         [] {
             std::vector<Datagram> v;
             for (uint32_t s = 0; s < 400; ++s) v.push_back(probe(3, 100000 + s));
             return v;
         },
         [](const NoAllocationTest& t) {
             const ReceptionStats& r = t.source(3).asm_stats;
             EXPECT_TRUE(r.figures.valid);
             EXPECT_EQ(r.expected, 0u);  // 400 numbers: the tenth window just published
             EXPECT_EQ(r.last_seq, 100399u);
             EXPECT_EQ(r.figures.loss, 0.0f);
             EXPECT_EQ(r.figures.delay, 22.0f);  // delays 20 + now % 5 over 40 consecutive now values
         }},
        {"a lost number and a late arrival in every window",
         [] {
             std::vector<Datagram> v;
             for (uint32_t w = 0; w < 10; ++w) {
                 uint32_t n = 200000 + 40 * w;
                 for (uint32_t j = 0; j < 40; ++j) {
                     if (j == 5) continue;
                     if (j == 12) {
                         v.push_back(probe(4, n + 13));
                         v.push_back(probe(4, n + 12));
                         ++j;
                         continue;
                     }
                     v.push_back(probe(4, n + j));
                 }
             }
             return v;
         },
         [](const NoAllocationTest& t) {
             const PublishedStats& f = t.source(4).asm_stats.figures;
             EXPECT_TRUE(f.valid);
             EXPECT_EQ(f.loss, ONE_IN_FORTY);
             EXPECT_EQ(f.ooo, ONE_IN_FORTY);
             EXPECT_EQ(f.dup, 0.0f);
         }},
        {"duplicates, and repeats of published numbers",
         [] {
             std::vector<Datagram> v;
             for (uint32_t w = 0; w < 10; ++w) {
                 uint32_t n = 300000 + 40 * w;
                 for (uint32_t j = 0; j < 40; ++j) {
                     v.push_back(probe(5, n + j));
                     if (j == 20) v.push_back(probe(5, n + j));
                 }
                 v.push_back(probe(5, n + 39));  // the window is published: ignored
                 v.push_back(probe(5, n + 2));
             }
             return v;
         },
         [](const NoAllocationTest& t) {
             const ReceptionStats& r = t.source(5).asm_stats;
             EXPECT_TRUE(r.figures.valid);
             EXPECT_EQ(r.figures.dup, ONE_IN_FORTY);
             EXPECT_EQ(r.figures.loss, 0.0f);
             EXPECT_EQ(r.expected, 0u);
         }},
        {"restarts of the numbering, and its wrap",
         [] {
             std::vector<Datagram> v;
             for (uint32_t k = 0; k < 12; ++k)
                 for (uint32_t j = 0; j < 10; ++j) v.push_back(probe(6, 400000 + 1000 * k + j));
             for (uint32_t s : {4294967294u, 4294967295u, 0u, 1u, 2u}) v.push_back(probe(6, s));
             return v;
         },
         [](const NoAllocationTest& t) {
             const ReceptionStats& r = t.source(6).asm_stats;
             // 0 is ignored after the reset to 4294967295; 1 resets again to
             // 0 and is taken, then 2.
             EXPECT_FALSE(r.figures.valid);
             EXPECT_EQ(r.last_seq, 2u);
             EXPECT_EQ(r.expected, 2u);
             EXPECT_EQ(r.received, 2u);
         }},
        {"the SSM channel",
         [] {
             std::vector<Datagram> v;
             for (uint32_t s = 0; s < 100; ++s) v.push_back(probe(7, 500000 + s, true));
             return v;
         },
         [](const NoAllocationTest& t) {
             EXPECT_TRUE(t.source(7).ssm_stats.figures.valid);
             EXPECT_FALSE(t.source(7).asm_stats.figures.valid);
             EXPECT_EQ(t.source(7).ssm_stats.last_seq, 500099u);
         }},
        {"malformed datagrams from a known sender",
         [] {
             std::vector<Datagram> v;
             for (int k = 0; k < 10; ++k) {
                 Datagram shorter = probe(8, 700000);
                 shorter.length = 11;
                 Datagram longer = probe(8, 700000);
                 longer.length = 13;
                 Datagram wrong_type = probe(8, 700000);
                 wrong_type.bytes[3] = 2;
                 v.insert(v.end(), {shorter, longer, wrong_type});
             }
             return v;
         },
         [](const NoAllocationTest& t) { EXPECT_EQ(t.source(8).asm_stats.last_seq, 0u); }},
        {"every sender in turn",
         [] {
             std::vector<Datagram> v;
             for (uint32_t s = 0; s < 41; ++s)
                 for (int i = 0; i < SOURCES; ++i) v.push_back(probe(i, 600000 + s));
             return v;
         },
         [](const NoAllocationTest& t) {
             for (int i = 0; i < SOURCES; ++i) {
                 EXPECT_TRUE(t.source(i).asm_stats.figures.valid) << i;
                 EXPECT_EQ(t.source(i).asm_stats.expected, 1u) << i;
             }
         }},
    };

    size_t probes = 0;
    for (const Case& c : cases) {
        std::vector<Datagram> datagrams = c.make();
        probes += datagrams.size();
        EXPECT_EQ(feed(datagrams), 0u) << c.name;
        c.check(*this);
    }
    EXPECT_GE(probes, 1000u);
    EXPECT_EQ(table.sources.size(), static_cast<size_t>(SOURCES));
}

}  // namespace
