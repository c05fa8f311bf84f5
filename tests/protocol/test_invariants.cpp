// Invariants that hold whatever the network sends: what one beacon reports,
// another decodes to the same listing; strangers listing thousands of beacons
// cannot grow the table past its bounds; text learnt from anyone leaves the
// dump well-formed.  The same checks run under the fuzz targets.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "control/runtime.h"
#include "control/settings.h"
#include "net/address.h"
#include "output/bandwidth.h"
#include "output/dump.h"
#include "protocol/decode.h"
#include "protocol/report.h"
#include "scheduler/timer_queue.h"
#include "state/expiry.h"
#include "state/source_table.h"
#include "tests/protocol/support.h"
#include "tests/xml_check.h"

namespace {

constexpr uint64_t NOW = 7200000;
constexpr uint64_t WALLCLOCK = 1700000000000ull;

// Figures received 1.5 s before NOW.
PublishedStats figures(uint8_t ttl, float delay, float jitter, float loss, float dup, float ooo) {
    PublishedStats f = published_figures(ttl, delay, jitter, loss, dup, ooo);
    f.timestamp = 0x1234567890ull;
    f.updated_ms = NOW - 1500;
    return f;
}

class InvariantTest : public ::testing::Test {
protected:
    void SetUp() override {
        settings = Settings{};
        runtime = Runtime{};
        beacon_interval = 5.0;
        own.beacon_name = "origin";
        own.admin_contact = "noc@origin.example";
    }
    void TearDown() override {
        settings = Settings{};
        runtime = Runtime{};
        beacon_interval = 5.0;
    }

    Source& add(const char* address, uint16_t port, const char* name = nullptr, uint64_t created = NOW - 90500) {
        Source* s = table.get_or_create_source(make_address(address, port), name, created, true);
        EXPECT_NE(s, nullptr);
        return *s;
    }

    // Builds a report from the table and hands it to a fresh table as the
    // datagram of another beacon.  Gives the encoded length.
    int32_t send_to_fresh_table(uint32_t kind, int32_t capacity = 8192) {
        std::vector<uint8_t> buffer(static_cast<size_t>(capacity));
        int32_t length = encode_report_from(buffer.data(), capacity, kind, own, 0, table, NOW);
        EXPECT_GT(length, 0);
        EXPECT_LE(length, capacity);
        if (length <= 0) return length;
        // Exactly the datagram's bytes, so a read past the end is caught
        // by the sanitizer build.
        Bytes datagram(buffer.begin(), buffer.begin() + length);
        handle_beacon_packet_at(fresh, fresh_local, reporter, WALLCLOCK, 120, datagram.data(), length, false,
                                NOW + 10);
        return length;
    }

    const ExternalMap& received_list() {
        auto it = fresh.sources.find(reporter);
        EXPECT_NE(it, fresh.sources.end());
        static const ExternalMap none;
        return it == fresh.sources.end() ? none : it->second.external_sources;
    }

    Settings own;
    SourceTable table;
    SourceTable fresh;
    Address reporter = make_address("203.0.113.9", 10000);
    Address fresh_local = make_address("203.0.113.10", 10000);
};

// ---- the checker itself: it must catch what it is there for ----

TEST(XmlCheck, AcceptsTheDumpsShapeAndRejectsEachFault) {
    EXPECT_EQ(xml_check("<a x=\"1\" y=\"&lt;&amp;&quot;&#233;&#x9;\">\n\t<b z=\"\" />\n</a>\n"), "");
    struct Case {
        const char* what;
        std::string text;
    };
    const Case faults[] = {
        {"raw < in a value", "<a x=\"<\" />"},
        {"bare &", "<a x=\"a & b\" />"},
        {"unknown entity", "<a x=\"&nbsp;\" />"},
        {"reference to a control character", "<a x=\"&#1;\" />"},
        {"raw quote ends the value early", "<a x=\"a\"b\" />"},
        {"raw byte 0xE9", "<a x=\"caf\xE9\" />"},
        {"raw control byte", std::string("<a x=\"a\x01\" />")},
        {"raw carriage return", "<a x=\"a\r\" />"},
        {"duplicate attribute", "<a x=\"1\" x=\"2\" />"},
        {"unclosed element", "<a>\n<b>\n</a>"},
        {"mismatched end tag", "<a></b>"},
        {"two roots", "<a /><b />"},
        {"attributes run together", "<a x=\"1\"y=\"2\" />"},
        {"unquoted value", "<a x=1 />"},
        {"empty document", ""},
    };
    for (const Case& c : faults) EXPECT_NE(xml_check(c.text), "") << c.what;
}

// ---- round trip: report, then decode as another beacon ----

struct FigureCase {
    const char* address;
    uint16_t port;
    uint32_t sender_ttl;
    bool asm_valid;
    bool ssm_valid;
    PublishedStats asm_figures;
    PublishedStats ssm_figures;
};

// Within what one byte carries: loss and ooo in 255ths, dup in 25.5ths with
// 255 standing for "more than 10"; delay and jitter travel as floats.
void expect_figures(const char* where, const Source& s, const PublishedStats& sent, const PublishedStats& got,
                    const ExternalSource& entry) {
    SCOPED_TRACE(where);
    EXPECT_TRUE(got.valid);
    EXPECT_EQ(got.timestamp, sent.timestamp & 0xffffffffu);
    EXPECT_EQ(entry.age, (NOW - s.created_ms) / 1000);
    uint32_t sender_ttl = s.sender_ttl != 0 ? s.sender_ttl : 127;
    EXPECT_EQ(got.ttl, static_cast<uint8_t>((sender_ttl - sent.ttl) & 0xff));
    EXPECT_EQ(got.delay, sent.delay);
    EXPECT_EQ(got.jitter, sent.jitter);
    EXPECT_NEAR(got.loss, sent.loss, 1.0 / 255 + 1e-6);
    EXPECT_NEAR(got.ooo, sent.ooo, 1.0 / 255 + 1e-6);
    // The byte is ceil(dup * 25.5); 255 reads back as "more than 10", and
    // so does every dup that rounds up to it, from 254 / 25.5 on.
    if (static_cast<double>(sent.dup) > 254.0 / 25.5) {
        EXPECT_EQ(got.dup, 1e10f);
    } else {
        EXPECT_NEAR(got.dup, sent.dup, 1.0 / 25.5 + 1e-6);
    }
}

TEST_F(InvariantTest, ReportedFiguresArriveWithinTheirPrecision) {
    const FigureCase cases[] = {
        {"192.0.2.1", 10000, 64, true, false, figures(60, 12.5f, 0.75f, 0.1f, 0.0f, 0.025f), {}},
        {"192.0.2.1", 10001, 0, false, true, {}, figures(120, -2.5f, 100.0625f, 0.5f, 0.01f, 0.0f)},
        {"198.51.100.7", 10000, 255, true, true, figures(250, 0.0f, 0.0f, 1.0f, 10.0f, 1.0f),
         figures(1, 1e6f, 3.3f, 0.999f, 10.5f, 0.004f)},
        {"2001:db8::1", 10000, 64, true, true, figures(70, -0.001f, 0.5f, 0.0f, 0.2f, 0.3f),
         figures(64, 123.456f, 7.0f, 0.0039f, 9.9f, 0.5f)},
        {"ff02::beac", 65535, 127, false, true, {}, figures(0, 33.0f, 1.0f, 0.75f, 100.0f, 0.1f)},
    };
    uint64_t created = NOW - 86400000;
    for (const FigureCase& c : cases) {
        Source& s = add(c.address, c.port, nullptr, created);
        created += 123456;
        s.sender_ttl = c.sender_ttl;
        if (c.asm_valid) s.asm_stats.figures = c.asm_figures;
        if (c.ssm_valid) s.ssm_stats.figures = c.ssm_figures;
    }
    // A Source without valid figures is never listed.
    add("192.0.2.99", 10000);

    send_to_fresh_table(SEND_REPORT);
    const ExternalMap& got = received_list();
    ASSERT_EQ(got.size(), std::size(cases));
    for (const FigureCase& c : cases) {
        Address key = make_address(c.address, c.port);
        SCOPED_TRACE(key.to_string(true));
        auto entry = got.find(key);
        ASSERT_NE(entry, got.end());
        const Source& s = table.sources.at(key);
        EXPECT_EQ(entry->second.asm_stats.valid != 0, c.asm_valid);
        EXPECT_EQ(entry->second.ssm_stats.valid != 0, c.ssm_valid);
        if (c.asm_valid) expect_figures("asm", s, c.asm_figures, entry->second.asm_stats, entry->second);
        if (c.ssm_valid) expect_figures("ssm", s, c.ssm_figures, entry->second.ssm_stats, entry->second);
        // The receiver adds every listed beacon to its own table.
        EXPECT_EQ(fresh.sources.count(key), 1u);
    }
    EXPECT_EQ(fresh.sources.count(make_address("192.0.2.99", 10000)), 0u);
    EXPECT_EQ(fresh.sources.size(), std::size(cases) + 1);  // and the reporter
}

TEST_F(InvariantTest, FullReportListsALeadingRunOfSourcesInKeyOrder) {
    // 400 IPv4 Sources with both channels: 52 bytes each on the wire, more
    // than 8192 bytes hold.
    for (int i = 0; i < 400; ++i) {
        char text[32];
        snprintf(text, sizeof text, "10.%d.%d.7", i / 100, (i * 37) % 100);
        Source& s = add(text, static_cast<uint16_t>(10000 + i % 5));
        s.asm_stats.figures = figures(60, 1.0f * i, 0.5f, 0.01f, 0.0f, 0.0f);
        s.ssm_stats.figures = figures(61, 2.0f * i, 0.25f, 0.02f, 0.1f, 0.0f);
    }
    int32_t header = 5 + 2 + static_cast<int32_t>(own.beacon_name.size()) + 2 +
                     static_cast<int32_t>(own.admin_contact.size());
    int32_t per_source = 2 + 6 + 2 * (2 + 20);
    size_t fit = static_cast<size_t>((8192 - header) / per_source);
    ASSERT_LT(fit, table.sources.size());

    int32_t length = send_to_fresh_table(SEND_REPORT);
    EXPECT_EQ(length, header + static_cast<int32_t>(fit) * per_source);
    const ExternalMap& got = received_list();
    ASSERT_EQ(got.size(), fit);
    auto expected = table.sources.begin();
    for (const auto& entry : got) {
        EXPECT_EQ(compare(entry.first, expected->first), 0) << expected->first.to_string(true);
        EXPECT_EQ(entry.second.asm_stats.delay, expected->second.asm_stats.figures.delay);
        ++expected;
    }

    // A smaller buffer cuts the list at an earlier Source, the same way.
    fresh.clear();
    length = send_to_fresh_table(SEND_REPORT, 1000);
    size_t fit_small = static_cast<size_t>((1000 - header) / per_source);
    EXPECT_EQ(length, header + static_cast<int32_t>(fit_small) * per_source);
    EXPECT_EQ(received_list().size(), fit_small);
}

TEST_F(InvariantTest, MapReportCarriesNamesAndContactsOfIdentifiedSources) {
    struct NameCase {
        const char* address;
        const char* name;  // nullptr: never identified
        std::string contact;
        bool valid;
    };
    const std::string long_name(240, 'n');
    const NameCase cases[] = {
        {"192.0.2.10", "alpha", "alpha@example.org", true},
        {"192.0.2.11", "quotes \"<&>' inside", "a&b@<c>", true},
        {"192.0.2.12", "", "", true},                      // identified, empty name
        {"192.0.2.13", "no figures", "x@y", false},        // not listed: no valid figures
        {"192.0.2.14", nullptr, "anonymous@example", true},  // not listed: not identified
        {"2001:db8::10", long_name.c_str(), std::string(40, 'c'), true},
    };
    for (const NameCase& c : cases) {
        Source& s = add(c.address, 10000, c.name);
        s.contact = c.contact;
        if (c.valid) s.asm_stats.figures = figures(60, 1.0f, 1.0f, 0.0f, 0.0f, 0.0f);
    }
    send_to_fresh_table(SEND_MAP_REPORT);
    const ExternalMap& got = received_list();
    size_t listed = 0;
    for (const NameCase& c : cases) {
        Address key = make_address(c.address, 10000);
        SCOPED_TRACE(c.address);
        auto entry = got.find(key);
        if (!c.valid || c.name == nullptr) {
            EXPECT_EQ(entry, got.end());
            continue;
        }
        ++listed;
        ASSERT_NE(entry, got.end());
        const ExternalSource& e = entry->second;
        EXPECT_FALSE(e.asm_stats.valid);
        std::string name = c.name;
        size_t address_size = key.family() == AF_INET6 ? 16 : 4;
        if (address_size + 2 + 4 + name.size() + c.contact.size() <= 255) {
            EXPECT_EQ(e.name, name);
            EXPECT_EQ(e.contact, c.contact);
        } else {
            // Too long for one length byte: both arrive cut, never garbled,
            // and the source TLV stays within 255 bytes.
            EXPECT_EQ(name.compare(0, e.name.size(), e.name), 0);
            EXPECT_EQ(c.contact.compare(0, e.contact.size(), e.contact), 0);
            EXPECT_LE(address_size + 2 + 4 + e.name.size() + e.contact.size(), 255u);
            EXPECT_FALSE(e.name.empty());
        }
        EXPECT_EQ(e.identified, !e.name.empty());
        const Source& made = fresh.sources.at(key);
        EXPECT_EQ(made.identified, !e.name.empty());
        if (made.identified) {
            EXPECT_EQ(made.name, e.name);
        }
        EXPECT_EQ(made.contact, e.contact);
    }
    EXPECT_EQ(got.size(), listed);
}

// ---- bounds: strangers listing thousands of beacons ----

Bytes report_listing(uint32_t first, uint32_t count) {
    Bytes r = {0xBE, 0xAC, 0x01, 0x01, 64, 'n', 1, 'x'};
    for (uint32_t i = first; i < first + count; ++i) {
        // 100.64.0.0/10 and onwards: made-up beacons, each address once.
        uint32_t address = 0x64400000u + i;
        Bytes tlv = {'i', 6, uint8_t(address >> 24), uint8_t(address >> 16), uint8_t(address >> 8), uint8_t(address),
                     0x27, 0x10};
        r.insert(r.end(), tlv.begin(), tlv.end());
    }
    return r;
}

void expect_within_bounds(const SourceTable& t) {
    EXPECT_LE(t.sources.size(), MAX_SOURCES);
    EXPECT_LE(t.external_count(), MAX_EXTERNALS_TOTAL);
    size_t total = 0;
    for (const auto& entry : t.sources) {
        EXPECT_LE(entry.second.external_sources.size(), MAX_EXTERNALS_PER_SOURCE);
        total += entry.second.external_sources.size();
    }
    EXPECT_EQ(total, t.external_count());
}

TEST_F(InvariantTest, ReportsListingThousandsOfBeaconsKeepTheTableWithinItsBounds) {
    // Enough senders that their lists together pass the total bound.
    const size_t sender_count = MAX_EXTERNALS_TOTAL / MAX_EXTERNALS_PER_SOURCE + 6;
    std::vector<Address> senders;
    for (size_t i = 0; i < sender_count; ++i) {
        char text[32];
        snprintf(text, sizeof text, "198.18.%zu.%zu", i / 200, i % 200 + 1);
        senders.push_back(make_address(text, 10000));
        Bytes hello = report_listing(0, 0);
        handle_beacon_packet_at(table, fresh_local, senders.back(), WALLCLOCK, 60, hello.data(),
                                static_cast<int32_t>(hello.size()), false, NOW);
    }
    ASSERT_EQ(table.sources.size(), sender_count);

    uint64_t now = NOW;
    for (int round = 0; round < 3; ++round) {
        for (size_t i = 0; i < senders.size(); ++i) {
            // 2000 beacons per report, new ones every time.
            Bytes report = report_listing(static_cast<uint32_t>((round * sender_count + i) * 2000), 2000);
            handle_beacon_packet_at(table, fresh_local, senders[i], WALLCLOCK, 60, report.data(),
                                    static_cast<int32_t>(report.size()), false, now);
        }
        now += 1000;
        SCOPED_TRACE(round);
        expect_within_bounds(table);
        EXPECT_EQ(table.sources.size(), MAX_SOURCES);
        EXPECT_EQ(table.external_count(), MAX_EXTERNALS_TOTAL);
    }
    // Every sender is still known: a full table refuses only new entries.
    for (const Address& s : senders) EXPECT_EQ(table.sources.count(s), 1u);

    // Once they fall silent everything expires, and the table takes new
    // beacons again.
    expire_sources_at(table, now + 6 * 5000 + 1);
    EXPECT_TRUE(table.sources.empty());
    EXPECT_EQ(table.external_count(), 0u);
    Bytes report = report_listing(9000000, 10);
    handle_beacon_packet_at(table, fresh_local, senders[0], WALLCLOCK, 60, report.data(),
                            static_cast<int32_t>(report.size()), false, now + 40000);
    EXPECT_EQ(table.sources.size(), 11u);
    EXPECT_EQ(table.external_count(), 10u);
}

// ---- the dump after hostile text ----

std::string render(const Settings& config, const Runtime& place, const SourceTable& t) {
    DumpContext context{&config, &place, 5.0, NOW - 60000, 1.25, 0.5};
    return written_text([&](FILE* out) { render_dump(out, context, t, NOW); });
}

// The value of the first attribute `name` after `from`, with the references
// replaced by the characters they stand for.
std::string attribute_after(const std::string& document, const std::string& from, const std::string& name) {
    size_t at = document.find(from);
    if (at == std::string::npos) return "<missing element>";
    at = document.find(" " + name + "=\"", at);
    if (at == std::string::npos) return "<missing attribute>";
    at += name.size() + 3;
    size_t end = document.find('"', at);
    return unescape_attribute(document.substr(at, end - at));
}

TEST_F(InvariantTest, DumpStaysWellFormedWhateverTheTextHolds) {
    // What the network can put in the table: printable names with every XML
    // special character, and a country of any two bytes.
    const std::string printable_hostile = "a\"b<c>d&e'f &amp; &#60; ]]> <!-- -->";
    Bytes report = report_header(64) + tlv('n', printable_hostile) + tlv('a', "<script>&\"@\"") +
                   tlv('C', "\x01\xE9") + tlv('G', "http://x/?a=1&b=\"<2>\"") + tlv('L', "'&'") +
                   tlv('F', std::string("\0\0\0\3", 4));
    Bytes nested = {'n', 5, '<', '&', '"', '>', '\''};
    report = report + tlv('i', Bytes{192, 0, 2, 77, 0x27, 0x10} + nested);
    Address sender = make_address("192.0.2.50", 10000);
    handle_beacon_packet_at(table, fresh_local, sender, WALLCLOCK, 60, report.data(),
                            static_cast<int32_t>(report.size()), false, NOW - 1000);
    ASSERT_EQ(table.sources.at(sender).name, printable_hostile);
    ASSERT_EQ(table.sources.at(sender).country, "\x01\xE9");

    // And what no decoder lets in, set straight into the records: control
    // bytes, line ends, bytes from 0x7F up.
    Source& odd = add("2001:db8::66", 10000, "tab\tnew\nline\rcr\x01\x1f del\x7f caf\xE9 \xFF");
    odd.contact = "\"\n\"";
    odd.country = "\xE9<";
    odd.websites[WEBSITE_MATRIX] = "\x80\x9f";
    odd.asm_stats.figures = figures(60, -1.0f, NAN, INFINITY, -INFINITY, 0.5f);
    ExternalSource* ext = table.get_or_create_external(odd, make_address("192.0.2.78", 10000), NOW);
    ASSERT_NE(ext, nullptr);
    ext->identified = true;
    ext->name = "\x02<&>";
    ext->contact = "\xE9";
    ext->ssm_stats = figures(1, NAN, 0.0f, 0.0f, 0.0f, 0.0f);

    Settings local_settings;
    local_settings.beacon_name = "home \"<&>'";
    local_settings.admin_contact = "me&you@<here>";
    local_settings.country_code = "&\"";
    local_settings.websites[WEBSITE_GENERIC] = "http://h/?q=<1>&r='2'";
    Runtime place;
    place.local_address = make_address("192.0.2.1", 10000);
    place.beacon_group_label = "ff3e::beac/10000";
    place.ssm_socket = 3;
    place.ssm_group = make_address("ff3e::4321:1234", 10000);
    place.beacon_flags = FLAG_SSM | FLAG_SSMPING;

    std::string document = render(local_settings, place, table);
    EXPECT_EQ(xml_check(document), "") << document;

    // Printable text is escaped, not lost: it reads back as it was.
    EXPECT_EQ(attribute_after(document, "<beacon name=", "name"), local_settings.beacon_name);
    EXPECT_EQ(attribute_after(document, "<beacon name=", "contact"), local_settings.admin_contact);
    EXPECT_EQ(attribute_after(document, "\t<beacon name=\"a", "name"), printable_hostile);
    EXPECT_EQ(attribute_after(document, "\t<beacon name=\"a", "contact"), "<script>&\"@\"");
    EXPECT_EQ(attribute_after(document, "type=\"generic\" url=\"http://x", "url"), "http://x/?a=1&b=\"<2>\"");
}

}  // namespace
