#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "control/runtime.h"
#include "control/settings.h"
#include "net/address.h"
#include "output/bandwidth.h"
#include "protocol/report.h"
#include "protocol/wire.h"
#include "scheduler/clock.h"
#include "scheduler/main_loop.h"
#include "state/source_table.h"
#include "tests/protocol/support.h"

namespace {

// Header with sender TTL 127, name "bx", contact "a@b".
const Bytes HEADER = {0xBE, 0xAC, 0x01, 0x01, 0x7F, 0x6E, 0x02, 'b', 'x', 0x61, 0x03, 'a', '@', 'b'};

constexpr uint64_t CREATED = 1000;
constexpr uint64_t NOW = CREATED + 65999;  // age 65 s

PublishedStats asm_figures() {
    PublishedStats f = published_figures(120, 1.5f, 0.25f, 0.5f, 0.01f, 0.25f);
    f.timestamp = 0x11223344;
    return f;
}

PublishedStats ssm_figures() {
    PublishedStats f = published_figures(125, -2.0f, 0.0f, 0.0f, 10.0f, 1.0f);
    f.timestamp = 0xA0B0C0D0;
    return f;
}

// The figures above as they travel, written out by hand.
const Bytes ASM_TLV = {0x41, 0x14, 0x11, 0x22, 0x33, 0x44, 0x00, 0x00, 0x00, 0x41, 0x07, 0x3F,
                       0xC0, 0x00, 0x00, 0x3E, 0x80, 0x00, 0x00, 0x7F, 0x01, 0x3F};
const Bytes SSM_TLV = {0x53, 0x14, 0xA0, 0xB0, 0xC0, 0xD0, 0x00, 0x00, 0x00, 0x41, 0x02, 0xC0,
                       0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF};

class ReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        config.beacon_name = "bx";
        config.admin_contact = "a@b";
    }

    Source& add(const char* address, uint16_t port, bool asm_valid, bool ssm_valid) {
        Source& s = table.sources[make_address(address, port)];
        s.created_ms = CREATED;
        if (asm_valid) s.asm_stats.figures = asm_figures();
        if (ssm_valid) s.ssm_stats.figures = ssm_figures();
        return s;
    }

    Bytes encode(uint32_t kind, int32_t capacity = 8192, uint32_t flags = 0) {
        buffer.assign(8192 + 16, 0x5A);
        int32_t n = encode_report_from(buffer.data(), capacity, kind, config, flags, table, NOW);
        last_result = n;
        if (n < 0) return {};
        return Bytes(buffer.begin(), buffer.begin() + n);
    }

    Settings config;
    SourceTable table;
    Bytes buffer;
    int32_t last_result = 0;
};

TEST_F(ReportTest, EmptyTableGivesHeaderNameAndContact) {
    EXPECT_EQ(encode(82), HEADER);
    EXPECT_EQ(encode(84), HEADER);
}

TEST_F(ReportTest, SourceListingsByValidChannel) {
    struct Case {
        const char* name;
        bool asm_valid;
        bool ssm_valid;
        Bytes listing;
    };
    const Bytes v4 = {0x0A, 0x00, 0x00, 0x01, 0x27, 0x10};
    const Case cases[] = {
        {"asm only", true, false, Bytes{0x69, 28} + v4 + ASM_TLV},
        {"ssm only", false, true, Bytes{0x69, 28} + v4 + SSM_TLV},
        {"both", true, true, Bytes{0x69, 50} + v4 + ASM_TLV + SSM_TLV},
        {"neither", false, false, Bytes{}},
    };
    for (const Case& c : cases) {
        table.sources.clear();
        add("10.0.0.1", 10000, c.asm_valid, c.ssm_valid);
        EXPECT_EQ(encode(82), HEADER + c.listing) << c.name;
    }
}

TEST_F(ReportTest, IPv6SourcesFollowIPv4AndSkipInvalidOnes) {
    add("2001:db8::5", 10001, true, false);
    add("10.0.0.7", 10000, false, false);  // nothing valid: left out
    add("10.0.0.1", 10000, false, true);
    const Bytes v6 = {0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x05, 0x27, 0x11};
    Bytes expected = HEADER + Bytes{0x69, 28, 0x0A, 0x00, 0x00, 0x01, 0x27, 0x10} + SSM_TLV + Bytes{0x49, 40} + v6 +
                     ASM_TLV;
    EXPECT_EQ(encode(82), expected);
}

TEST_F(ReportTest, FigureEncodings) {
    struct Case {
        float loss, dup, ooo;
        uint32_t sender_ttl;
        uint8_t ttl;
        uint8_t loss_byte, dup_byte, ooo_byte, hop_byte;
    };
    const Case cases[] = {
        {0.5f, 0.01f, 0.0f, 0, 120, 127, 1, 0, 7},        // 127.5 -> 127; ceil(0.255) = 1; 127 - 120
        {1.0f, 10.0f, 1.0f, 64, 60, 255, 255, 255, 4},    // ceil(255.0) = 255
        {0.1f, 10.5f, 0.1f, 1, 2, 25, 255, 25, 255},      // 25.5 -> 25; above 10; 1 - 2 mod 256
        {0.0f, 1.0f, 0.004f, 255, 0, 0, 26, 1, 255},      // ceil(25.5) = 26; 1.02 -> 1
        {0.0f, 0.04f, 0.0f, 127, 127, 0, 2, 0, 0},        // 0.04f * 25.5 = 1.0199... -> 2
        {0.0f, 0.0f, 0.0f, 0, 127, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        table.sources.clear();
        Source& s = add("10.0.0.1", 10000, true, false);
        s.sender_ttl = c.sender_ttl;
        s.asm_stats.figures.loss = c.loss;
        s.asm_stats.figures.dup = c.dup;
        s.asm_stats.figures.ooo = c.ooo;
        s.asm_stats.figures.ttl = c.ttl;
        Bytes r = encode(82);
        ASSERT_EQ(r.size(), 44u);
        // The figures value starts at 24: after the header (14), the source
        // TLV's type, length, address and port (8) and the 'A' type and length.
        EXPECT_EQ(r[32], c.hop_byte) << c.sender_ttl << " " << int(c.ttl);
        EXPECT_EQ(r[41], c.loss_byte) << c.loss;
        EXPECT_EQ(r[42], c.dup_byte) << c.dup;
        EXPECT_EQ(r[43], c.ooo_byte) << c.ooo;
    }
}

TEST_F(ReportTest, AgeCountsWholeSecondsSinceCreation) {
    Source& s = add("10.0.0.1", 10000, true, true);
    s.created_ms = NOW - 999;
    Bytes r = encode(82);
    ASSERT_EQ(r.size(), 66u);
    EXPECT_EQ(Bytes(r.begin() + 28, r.begin() + 32), (Bytes{0, 0, 0, 0}));
    s.created_ms = NOW - 0x01020304ull * 1000 - 1;
    r = encode(82);
    EXPECT_EQ(Bytes(r.begin() + 28, r.begin() + 32), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(Bytes(r.begin() + 50, r.begin() + 54), (Bytes{1, 2, 3, 4}));  // the same in 'S'
}

TEST_F(ReportTest, MapReportListsIdentifiedSourcesWithValidFigures) {
    Source& known = add("10.0.0.2", 10000, true, false);
    set_name(known, "n2");
    Source& ssm_only = add("10.0.0.4", 10000, false, true);
    set_name(ssm_only, "four");
    ssm_only.contact = "c@d";
    add("10.0.0.3", 10000, true, true);  // unidentified
    Source& silent = add("10.0.0.5", 10000, false, false);
    set_name(silent, "quiet");
    Bytes expected = HEADER + Bytes{0x69, 12, 0x0A, 0, 0, 0x02, 0x27, 0x10, 0x6E, 2, 'n', '2', 0x61, 0} +
                     Bytes{0x69, 17, 0x0A, 0, 0, 0x04, 0x27, 0x10, 0x6E, 4} + text("four") + Bytes{0x61, 3} +
                     text("c@d");
    EXPECT_EQ(encode(84), expected);
}

TEST_F(ReportTest, MapReportCutsContactThenNameToKeepTheValueWithinOneLengthByte) {
    struct Case {
        const char* address;
        size_t name, contact;
        size_t name_sent, contact_sent;
    };
    const Case cases[] = {
        {"10.0.0.1", 200, 100, 200, 45},       // 6 + 4 + 200 + 45 = 255
        {"10.0.0.1", 255, 255, 245, 0},        // the name alone is too long
        {"10.0.0.1", 100, 145, 100, 145},      // exactly 255: untouched
        {"2001:db8::1", 240, 10, 233, 0},      // 18 + 4 + 233 = 255
        {"2001:db8::1", 200, 40, 200, 33},
    };
    for (const Case& c : cases) {
        table.sources.clear();
        Source& s = add(c.address, 10000, true, false);
        set_name(s, std::string(c.name, 'n'));
        s.contact = std::string(c.contact, 'c');
        Source& after = add("2001:db8::ff", 10000, true, false);  // still listed after the cut one
        set_name(after, "z");

        Bytes r = encode(84);
        size_t address_size = strchr(c.address, ':') ? 16 : 4;
        size_t value = address_size + 2 + 4 + c.name_sent + c.contact_sent;
        ASSERT_LE(value, 255u);
        ASSERT_EQ(r.size(), HEADER.size() + 2 + value + 2 + 18 + 4 + 1) << c.name << "/" << c.contact;
        size_t p = HEADER.size();
        EXPECT_EQ(r[p + 1], value);
        p += 2 + address_size + 2;
        EXPECT_EQ(r[p], 0x6E);
        EXPECT_EQ(r[p + 1], c.name_sent);
        EXPECT_EQ(std::string(r.begin() + p + 2, r.begin() + p + 2 + c.name_sent), std::string(c.name_sent, 'n'));
        p += 2 + c.name_sent;
        EXPECT_EQ(r[p], 0x61);
        EXPECT_EQ(r[p + 1], c.contact_sent);
        EXPECT_EQ(std::string(r.begin() + p + 2, r.begin() + p + 2 + c.contact_sent),
                  std::string(c.contact_sent, 'c'));
        p += 2 + c.contact_sent;
        EXPECT_EQ(r[p], 0x49);
        EXPECT_EQ(r[p + 1], 18 + 4 + 1);
    }
}

TEST_F(ReportTest, WebsiteReportWithAndWithoutCountry) {
    config.websites[WEBSITE_MATRIX] = "http://m";
    config.websites[WEBSITE_GENERIC] = "http://g";
    config.country_code = "de";
    Bytes sites = Bytes{0x47, 8} + text("http://g") + Bytes{0x4D, 8} + text("http://m");
    EXPECT_EQ(encode(85, 8192, 3), (HEADER + sites + Bytes{0x43, 2, 'd', 'e', 0x46, 4, 0, 0, 0, 3}));
    config.country_code.clear();
    EXPECT_EQ(encode(85, 8192, 0x01020304), (HEADER + sites + Bytes{0x46, 4, 1, 2, 3, 4}));
    config.websites.clear();
    EXPECT_EQ(encode(85, 8192, 2), (HEADER + Bytes{0x46, 4, 0, 0, 0, 2}));
}

TEST_F(ReportTest, LeaveReportEndsWithLeaveTlv) {
    add("10.0.0.1", 10000, true, true);  // never listed in a farewell
    EXPECT_EQ(encode(86), (HEADER + Bytes{0x51, 0x00}));
}

TEST_F(ReportTest, UnknownKindsAreNotBuilt) {
    for (uint32_t kind : {0u, 83u, 87u, 4u}) {
        encode(kind);
        EXPECT_EQ(last_result, -1) << kind;
    }
}

TEST_F(ReportTest, CapacityLimits) {
    struct Case {
        uint32_t kind;
        int32_t capacity;
        int32_t result;
    };
    const Case cases[] = {
        {82, 3, -1}, {82, 4, -1}, {82, 8, -1},   // name TLV needs 9
        {82, 13, -1}, {82, 14, 14},              // contact TLV needs 14
        {86, 15, -1}, {86, 16, 16},              // leave needs 2 more
        {85, 19, -1}, {85, 20, 20},              // flags need 6 more
        {84, -5, -1},
    };
    for (const Case& c : cases) {
        encode(c.kind, c.capacity);
        EXPECT_EQ(last_result, c.result) << c.kind << " at " << c.capacity;
        if (c.capacity >= 0 && c.capacity < 16) {
            EXPECT_EQ(buffer[c.capacity], 0x5A) << "wrote past capacity";
        }
    }
    config.websites[WEBSITE_GENERIC] = "http://g";
    config.country_code = "de";
    encode(85, 14 + 10 + 3, 0);  // the URL fits, the country does not
    EXPECT_EQ(last_result, -1);
    encode(85, 14 + 10 + 4 + 5, 0);  // the flags do not
    EXPECT_EQ(last_result, -1);
    encode(85, 14 + 10 + 4 + 6, 0);
    EXPECT_EQ(last_result, 34);
}

TEST_F(ReportTest, SourcesStopAtTheFirstThatDoesNotFit) {
    add("10.0.0.1", 10000, true, true);   // 52 bytes
    add("10.0.0.3", 10000, true, false);  // 30 bytes
    const Bytes first = Bytes{0x69, 50, 0x0A, 0, 0, 1, 0x27, 0x10} + ASM_TLV + SSM_TLV;
    const Bytes second = Bytes{0x69, 28, 0x0A, 0, 0, 3, 0x27, 0x10} + ASM_TLV;
    struct Case {
        int32_t capacity;
        Bytes expected;
    };
    const Case cases[] = {
        {14 + 52 + 30, HEADER + first + second},
        {14 + 52 + 29, HEADER + first},
        {14 + 52, HEADER + first},
        {14 + 51, HEADER},  // the second would fit, but the walk has stopped
        {14, HEADER},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(encode(82, c.capacity), c.expected) << c.capacity;
        EXPECT_EQ(buffer[c.capacity], 0x5A) << "wrote past capacity " << c.capacity;
    }
}

TEST_F(ReportTest, ValuesOverOneLengthByteAreRefused) {
    config.beacon_name = std::string(255, 'n');
    Bytes r = encode(82);
    ASSERT_EQ(r.size(), 5u + 2 + 255 + 5);
    EXPECT_EQ(r[6], 255);

    struct Case {
        size_t name, contact, url;
        uint32_t kind;
    };
    const Case cases[] = {
        {256, 3, 0, 82}, {2, 256, 0, 86}, {2, 3, 256, 85}, {1000, 3, 0, 84},
    };
    for (const Case& c : cases) {
        config.beacon_name = std::string(c.name, 'n');
        config.admin_contact = std::string(c.contact, 'c');
        config.websites.clear();
        if (c.url) config.websites[WEBSITE_LG] = std::string(c.url, 'u');
        encode(c.kind);
        EXPECT_EQ(last_result, -1) << c.name << "/" << c.contact << "/" << c.url;
    }
}

TEST_F(ReportTest, ProcessWideWrapperReadsSettingsFlagsAndTable) {
    settings = config;
    runtime = Runtime{};
    runtime.beacon_flags = FLAG_SSM | FLAG_SSMPING;
    source_table.clear();
    uint8_t out[256];
    int32_t n = encode_report(out, sizeof out, 85);
    EXPECT_EQ(Bytes(out, out + n), (HEADER + Bytes{0x46, 4, 0, 0, 0, 3}));

    Source& s = source_table.sources[make_address("10.0.0.1", 10000)];
    s.created_ms = now_ms();
    s.asm_stats.figures = asm_figures();
    n = encode_report(out, sizeof out, 82);
    ASSERT_EQ(n, 44);
    EXPECT_EQ(Bytes(out + 14, out + 22), (Bytes{0x69, 28, 0x0A, 0, 0, 1, 0x27, 0x10}));
    EXPECT_EQ(get_u32(out + 28), 0u);
    source_table.clear();
    settings = Settings{};
}

class SendReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        settings = Settings{};
        settings.beacon_name = "bx";
        settings.admin_contact = "a@b";
        runtime = Runtime{};
        runtime.beacon_socket = sender.fd;
        source_table.clear();
        reset_bandwidth_counters();
    }
    void TearDown() override {
        settings = Settings{};
        runtime = Runtime{};
        source_table.clear();
        reset_bandwidth_counters();
    }

    // A report that is not sent is waited for 0.3 s.
    static constexpr timeval WAIT{0, 300000};
    LoopbackSocket sender{WAIT};
    LoopbackSocket first{WAIT};
    LoopbackSocket second{WAIT};
    // An IPv6 destination cannot be reached from the IPv4 socket: a send
    // failure that puts nothing on any network.
    Address unreachable = make_address("::1", 9);
};

TEST_F(SendReportTest, SendsToEveryDestinationAndCountsBytes) {
    settings.verbose = 1;
    runtime.report_destinations = {first.address, second.address};
    bytes_sent = 0xFFFFFFF0u;  // the counter wraps
    testing::internal::CaptureStderr();
    send_report(82);
    std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(first.receive(), HEADER);
    EXPECT_EQ(second.receive(), HEADER);
    EXPECT_EQ(bytes_sent, 0xFFFFFFF0u + 2 * 14u);
    EXPECT_EQ(err, "Sending Report to " + first.address.to_string(true) + "\nSending Report to " +
                       second.address.to_string(true) + "\n");
}

TEST_F(SendReportTest, FailureOnOneDestinationIsReportedAndTheNextStillGetsIt) {
    settings.verbose = 1;
    runtime.report_destinations = {unreachable, second.address};
    testing::internal::CaptureStderr();
    send_report(85);
    std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(second.receive(), (HEADER + Bytes{0x46, 4, 0, 0, 0, 0}));
    EXPECT_EQ(bytes_sent, 20u);
    EXPECT_EQ(err, "Sending Report to ::1/9\nFailed to send report to ::1/9: " + std::string(strerror(EAFNOSUPPORT)) +
                       "\nSending Report to " + second.address.to_string(true) + "\n");
}

TEST_F(SendReportTest, QuietAtVerbosityZeroExceptForFailures) {
    runtime.report_destinations = {first.address, unreachable};
    testing::internal::CaptureStderr();
    send_report(86);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(first.receive(), (HEADER + Bytes{0x51, 0x00}));
    EXPECT_EQ(err, "Failed to send report to ::1/9: " + std::string(strerror(EAFNOSUPPORT)) + "\n");
}

TEST_F(SendReportTest, SsmReportCarriesTheReportToTheChannelWithoutSendingLine) {
    settings.verbose = 3;
    runtime.ssm_group = first.address;
    runtime.report_destinations = {second.address};
    Source& s = source_table.sources[make_address("10.0.0.1", 10000)];
    s.created_ms = now_ms();
    s.asm_stats.figures = asm_figures();
    testing::internal::CaptureStderr();
    send_report(83);
    std::string err = testing::internal::GetCapturedStderr();

    Bytes r = first.receive();
    ASSERT_EQ(r.size(), 44u);
    EXPECT_EQ(Bytes(r.begin(), r.begin() + 22), (HEADER + Bytes{0x69, 28, 0x0A, 0, 0, 1, 0x27, 0x10}));
    EXPECT_EQ(second.receive(), Bytes{});  // report destinations are not used
    EXPECT_EQ(bytes_sent, 44u);
    EXPECT_EQ(err, "");

    runtime.ssm_group = unreachable;
    testing::internal::CaptureStderr();
    send_report(83);
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "Failed to send SSM report: " + std::string(strerror(EAFNOSUPPORT)) + "\n");
    EXPECT_EQ(bytes_sent, 44u);
}

TEST_F(SendReportTest, ReportThatCannotBeBuiltIsNeitherSentNorLogged) {
    settings.verbose = 1;
    settings.admin_contact = std::string(300, 'c');
    runtime.report_destinations = {first.address};
    testing::internal::CaptureStderr();
    send_report(82);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "");
    EXPECT_EQ(first.receive(), Bytes{});
    EXPECT_EQ(bytes_sent, 0u);
}

// A report that cannot hold every beacon with figures leaves the last ones
// out of every other beacon's matrix: said when it starts and when every
// beacon fits again, not at every report.
TEST_F(SendReportTest, FullReportIsSaidOnceAndSoIsItsEnd) {
    runtime.ssm_group = first.address;
    for (int i = 0; i < 200; ++i) {
        std::string address = "10.0." + std::to_string(i / 200) + "." + std::to_string(i % 200 + 1);
        Source& s = source_table.sources[make_address(address.c_str(), 10000)];
        s.created_ms = now_ms();
        s.asm_stats.figures = asm_figures();
        s.ssm_stats.figures = ssm_figures();
    }
    testing::internal::CaptureStderr();
    send_report(83);
    send_report(83);
    // 14 bytes of header, 52 per beacon: 157 fit.
    EXPECT_EQ(first.receive().size(), 14u + 157 * 52);
    while (source_table.sources.size() > 150) source_table.sources.erase(std::prev(source_table.sources.end()));
    send_report(83);
    send_report(83);
    std::vector<std::string> lines = log_messages(testing::internal::GetCapturedStderr());
    EXPECT_EQ(lines, (std::vector<std::string>{"Report full at 8192 bytes: 43 beacons at the end of the list left out",
                                               "Reports hold every beacon again"}));
}

}  // namespace
