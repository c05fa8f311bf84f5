// The command-line walk, every option's effect and every option error.
#include <fcntl.h>
#include <net/if.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "control/log.h"
#include "control/runtime.h"
#include "control/settings.h"
#include "tests/control/support.h"

namespace {

std::string describe(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += "[" + word + "]";
    return text;
}

class OptionsTest : public testing::Test {
protected:
    void SetUp() override { reset_globals(); }
    void TearDown() override { reset_globals(); }
};

using OptionsDeathTest = OptionsTest;

TEST_F(OptionsTest, TableHoldsEveryOptionInLookupOrder) {
    const int expected_ids[OPTION_COUNT] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14,
                                            15, 16, 17, 18, 19, 20, 21, 22, 24, 25, 26, 27, 23};
    for (int i = 0; i < OPTION_COUNT; ++i) EXPECT_EQ(option_table[i].id, expected_ids[i]) << "entry " << i;

    struct Case {
        const char* text;
        int id;
        ArgumentKind argument;
    };
    const Case cases[] = {
        {"n", 1, ARG_REQUIRED},         {"name", 1, ARG_REQUIRED},     {"a", 2, ARG_REQUIRED},
        {"contact", 2, ARG_REQUIRED},   {"i", 3, ARG_REQUIRED},        {"interface", 3, ARG_REQUIRED},
        {"b", 4, ARG_REQUIRED},         {"addr", 4, ARG_REQUIRED},     {"S", 5, ARG_OPTIONAL},
        {"ssm_addr", 5, ARG_OPTIONAL},  {"O", 6, ARG_OPTIONAL},        {"ssm_send_only", 6, ARG_OPTIONAL},
        {"B", 7, ARG_REQUIRED},         {"bootstrap", 7, ARG_REQUIRED}, {"P", 8, ARG_OPTIONAL},
        {"ssmping", 8, ARG_OPTIONAL},   {"s", 9, ARG_REQUIRED},        {"source", 9, ARG_REQUIRED},
        {"d", 10, ARG_OPTIONAL},        {"dump", 10, ARG_OPTIONAL},    {"I", 11, ARG_REQUIRED},
        {"interval", 11, ARG_REQUIRED}, {"L", 12, ARG_REQUIRED},       {"exec", 12, ARG_REQUIRED},
        {"W", 13, ARG_REQUIRED},        {"website", 13, ARG_REQUIRED}, {"Wm", 14, ARG_REQUIRED},
        {"matrix", 14, ARG_REQUIRED},   {"Wl", 15, ARG_REQUIRED},      {"lg", 15, ARG_REQUIRED},
        {"C", 16, ARG_REQUIRED},        {"CC", 16, ARG_REQUIRED},      {"F", 17, ARG_REQUIRED},
        {"flag", 17, ARG_REQUIRED},     {"v", 18, ARG_OPTIONAL},       {"verbose", 18, ARG_OPTIONAL},
        {"U", 19, ARG_OPTIONAL},        {"dump-bw", 19, ARG_OPTIONAL}, {"h", 20, ARG_NONE},
        {"help", 20, ARG_NONE},         {"4", 21, ARG_NONE},           {"ipv4", 21, ARG_NONE},
        {"6", 22, ARG_NONE},            {"ipv6", 22, ARG_NONE},        {"D", 24, ARG_NONE},
        {"daemon", 24, ARG_NONE},       {"p", 25, ARG_REQUIRED},       {"pidfile", 25, ARG_REQUIRED},
        {"Y", 26, ARG_NONE},            {"syslog", 26, ARG_NONE},      {"c", 27, ARG_REQUIRED},
        {"V", 23, ARG_NONE},            {"version", 23, ARG_NONE},
    };
    for (const Case& c : cases) {
        const OptionEntry* entry = find_option(c.text);
        ASSERT_NE(entry, nullptr) << c.text;
        EXPECT_EQ(entry->id, c.id) << c.text;
        EXPECT_EQ(entry->argument, c.argument) << c.text;
    }
    for (const char* unknown : {"N", "Name", "vv", "", "-name", "w", "cc", "dump_bw"})
        EXPECT_EQ(find_option(unknown), nullptr) << unknown;

    // In files only long names are keys.
    EXPECT_EQ(find_option_by_long_name("n"), nullptr);
    EXPECT_EQ(find_option_by_long_name("c"), nullptr);
    ASSERT_NE(find_option_by_long_name("dump-bw"), nullptr);
    EXPECT_EQ(find_option_by_long_name("dump-bw")->id, 19);
}

TEST_F(OptionsTest, WordsOutsideOptionsAreIgnored) {
    const std::vector<std::vector<std::string>> lines = {
        {"stray", "-n", "alpha"},
        {"-n", "alpha", "stray"},
        {"first", "second", "-n", "alpha", "third", "fourth"},
        {"-name", "alpha"},
    };
    for (const auto& words : lines) {
        reset_globals();
        run_command_line(words);
        EXPECT_EQ(settings.beacon_name, "alpha") << describe(words);
    }
}

TEST_F(OptionsTest, EmptyWordIsAValue) {
    run_command_line({"-n", "host", "-n", ""});
    EXPECT_EQ(settings.beacon_name, "");
}

TEST_F(OptionsTest, VerboseLevels) {
    struct Case {
        std::vector<std::string> words;
        int32_t verbose;
    };
    const Case cases[] = {
        {{}, 0},
        {{"-v"}, 1},
        {{"-v", "-v", "-v"}, 3},
        {{"-v", "2", "-v"}, 3},
        {{"-v", "-v", "5"}, 5},
        {{"-verbose", "4"}, 4},
        {{"-v", " +4"}, 4},
        {{"-v", ""}, 0},
        {{"-v", "-v", "0"}, 0},
        {{"-v", "4294967295"}, -1},
        {{"-v", "4294967298"}, 2},  // low 32 bits
        {{"-v", "2147483648"}, INT32_MIN},
    };
    for (const Case& c : cases) {
        reset_globals();
        run_command_line(c.words);
        EXPECT_EQ(settings.verbose, c.verbose) << describe(c.words);
    }
    // A value that starts with '-' is never a value: the sign form only
    // reaches the reader through a configuration file.
    reset_globals();
    const OptionEntry* verbose = find_option("v");
    apply_option(*verbose, "-1");
    EXPECT_EQ(settings.verbose, -1);
    settings.verbose = INT32_MAX;
    apply_option(*verbose, nullptr);
    EXPECT_EQ(settings.verbose, INT32_MIN);
}

TEST_F(OptionsTest, DumpIntervalHasAFloorOfFiveSeconds) {
    struct Case {
        const char* value;
        int32_t interval;
    };
    const Case cases[] = {
        {"0", 5}, {"1", 5}, {"5", 5}, {"", 5}, {"6", 6}, {"7", 7}, {" +30", 30}, {"007", 7}, {"4294967", 4294967},
        // A signed number below the minimum, however far: never "too large".
        {" -7", 5}, {" -4294968", 5}, {" -99999999999999999999999", 5},
    };
    for (const Case& c : cases) {
        reset_globals();
        run_command_line({"-I", c.value});
        EXPECT_EQ(settings.dump_interval, c.interval) << "[" << c.value << "]";
        // The dump period in milliseconds fits in 32 bits.
        EXPECT_LE(static_cast<uint64_t>(settings.dump_interval) * 1000u, 0xffffffffull);
    }
    reset_globals();
    run_command_line({"-interval", "9"});
    EXPECT_EQ(settings.dump_interval, 9);
}

TEST_F(OptionsTest, DumpFileDefaultsToDumpXml) {
    run_command_line({"-d"});
    EXPECT_EQ(settings.dump_file, "dump.xml");
    EXPECT_FALSE(settings.daemonize);

    reset_globals();
    run_command_line({"-d", "-D"});
    EXPECT_EQ(settings.dump_file, "dump.xml");
    EXPECT_TRUE(settings.daemonize);

    reset_globals();
    run_command_line({"-d", "/tmp/beacons.xml"});
    EXPECT_EQ(settings.dump_file, "/tmp/beacons.xml");
}

TEST_F(OptionsTest, IdentityOptions) {
    run_command_line({"-n", "beacon one", "-a", "ops@example.org", "-CC", "DE", "-b", "ff3e::beac/10000", "-L",
                      "/usr/bin/true", "-p", "/run/q.pid"});
    EXPECT_EQ(settings.beacon_name, "beacon one");
    EXPECT_EQ(settings.admin_contact, "ops@example.org");
    EXPECT_EQ(settings.country_code, "DE");
    EXPECT_EQ(settings.beacon_group_text, "ff3e::beac/10000");
    EXPECT_EQ(settings.launch_program, "/usr/bin/true");
    EXPECT_TRUE(settings.has_pid_file);
    EXPECT_EQ(settings.pid_file, "/run/q.pid");

    reset_globals();
    run_command_line({"-C", "NL", "-contact", "@", "-name", "x"});
    EXPECT_EQ(settings.country_code, "NL");
    EXPECT_EQ(settings.admin_contact, "@");
    EXPECT_EQ(settings.beacon_name, "x");
}

TEST_F(OptionsTest, AnnouncedTextsUpToTheTlvLimit) {
    const std::string longest(TLV_VALUE_MAX, 'n');
    const std::string contact = "a@" + std::string(TLV_VALUE_MAX - 2, 'b');
    run_command_line({"-n", longest, "-a", contact, "-W", std::string(TLV_VALUE_MAX, 'g'), "-Wm",
                      std::string(TLV_VALUE_MAX, 'm'), "-W", "lg$" + std::string(TLV_VALUE_MAX, 'l')});
    EXPECT_EQ(settings.beacon_name, longest);
    EXPECT_EQ(settings.admin_contact, contact);
    EXPECT_EQ(settings.websites[WEBSITE_GENERIC].size(), TLV_VALUE_MAX);
    EXPECT_EQ(settings.websites[WEBSITE_MATRIX].size(), TLV_VALUE_MAX);
    EXPECT_EQ(settings.websites[WEBSITE_LG].size(), TLV_VALUE_MAX);
}

TEST_F(OptionsTest, Websites) {
    struct Case {
        std::vector<std::string> words;
        std::map<int32_t, std::string> websites;
    };
    const Case cases[] = {
        {{"-W", "http://a.example/"}, {{WEBSITE_GENERIC, "http://a.example/"}}},
        {{"-W", "lg$http://lg.example/"}, {{WEBSITE_LG, "http://lg.example/"}}},
        {{"-W", "matrix$"}, {{WEBSITE_MATRIX, ""}}},
        {{"-W", "matrix$http://m.example/"}, {{WEBSITE_MATRIX, "http://m.example/"}}},
        {{"-W", "lg$"}, {{WEBSITE_LG, ""}}},
        {{"-W", "LG$x"}, {{WEBSITE_GENERIC, "LG$x"}}},
        {{"-W", "lg"}, {{WEBSITE_GENERIC, "lg"}}},
        {{"-W", "http://1/", "-W", "http://2/"}, {{WEBSITE_GENERIC, "http://2/"}}},
        {{"-Wm", "http://m/", "-Wl", "http://l/", "-website", "http://g/"},
         {{WEBSITE_MATRIX, "http://m/"}, {WEBSITE_LG, "http://l/"}, {WEBSITE_GENERIC, "http://g/"}}},
        {{"-matrix", "m1", "-W", "matrix$m2"}, {{WEBSITE_MATRIX, "m2"}}},
        {{"-lg", "l1"}, {{WEBSITE_LG, "l1"}}},
    };
    for (const Case& c : cases) {
        reset_globals();
        run_command_line(c.words);
        EXPECT_EQ(settings.websites, c.websites) << describe(c.words);
    }
}

TEST_F(OptionsTest, SsmOptionsInOrder) {
    struct Case {
        std::vector<std::string> words;
        bool enabled;
        bool join;
        std::string group_text;
    };
    const Case cases[] = {
        {{}, false, false, ""},
        {{"-S"}, true, true, ""},
        {{"-S", "232.1.2.3/5000"}, true, true, "232.1.2.3/5000"},
        {{"-S", "232.1.2.3", "-S"}, true, true, "232.1.2.3"},
        {{"-O"}, true, false, ""},
        {{"-S", "-O"}, true, false, ""},
        {{"-O", "-S"}, true, true, ""},
        {{"-O", "yes"}, true, true, ""},
        {{"-O", "TRUE"}, true, true, ""},
        {{"-O", "1"}, true, true, ""},
        {{"-O", "no"}, true, false, ""},
        {{"-S", "-O", "False"}, true, false, ""},
        {{"-ssm_addr", "ff3e::1", "-ssm_send_only"}, true, false, "ff3e::1"},
    };
    for (const Case& c : cases) {
        reset_globals();
        run_command_line(c.words);
        EXPECT_EQ(settings.ssm_enabled, c.enabled) << describe(c.words);
        EXPECT_EQ(settings.ssm_join, c.join) << describe(c.words);
        EXPECT_EQ(settings.ssm_group_text, c.group_text) << describe(c.words);
    }
}

TEST_F(OptionsTest, BooleanSwitches) {
    struct Case {
        std::vector<std::string> words;
        bool ssmping;
        bool dump_bandwidth;
    };
    const Case cases[] = {
        {{}, false, false},
        {{"-P"}, true, false},
        {{"-P", "no"}, false, false},
        {{"-ssmping", "Yes"}, true, false},
        {{"-U"}, false, true},
        {{"-U", "0"}, false, false},
        {{"-dump-bw", "true", "-P", "false"}, false, true},
    };
    for (const Case& c : cases) {
        reset_globals();
        run_command_line(c.words);
        EXPECT_EQ(settings.ssmping_enabled, c.ssmping) << describe(c.words);
        EXPECT_EQ(settings.dump_bandwidth, c.dump_bandwidth) << describe(c.words);
    }

    reset_globals();
    run_command_line({"-D", "-Y"});
    EXPECT_TRUE(settings.daemonize);
    EXPECT_TRUE(settings.use_syslog);
    reset_globals();
    run_command_line({"-daemon", "-syslog"});
    EXPECT_TRUE(settings.daemonize);
    EXPECT_TRUE(settings.use_syslog);
}

TEST_F(OptionsTest, ParseBoolValue) {
    struct Case {
        const char* value;
        bool default_value;
        bool result;
    };
    const Case cases[] = {
        {nullptr, true, true}, {nullptr, false, false}, {"yes", false, true},  {"YES", false, true},
        {"True", false, true}, {"1", false, true},      {"no", true, false},   {"nO", true, false},
        {"false", true, false}, {"FALSE", true, false}, {"0", true, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(parse_bool_value(c.value, c.default_value, "what"), c.result) << (c.value ? c.value : "(none)");
}

TEST_F(OptionsDeathTest, ParseBoolValueRejectsOtherWords) {
    for (const char* value : {"", "y", "2", "on", "yes ", " no", "truth"}) {
        EXPECT_EXIT(parse_bool_value(value, true, "ssmping"), testing::ExitedWithCode(255),
                    fatal_only("ssmping: Expected one of 'yes', 'true', 'no' or 'false'."))
            << "[" << value << "]";
    }
}

TEST_F(OptionsTest, FamilyAndSourceInOrder) {
    run_command_line({"-4", "-6"});
    EXPECT_EQ(settings.forced_family, AF_INET6);
    reset_globals();
    run_command_line({"-ipv6", "-ipv4"});
    EXPECT_EQ(settings.forced_family, AF_INET);

    // -s before -6 resolves without a family restriction.
    reset_globals();
    run_command_line({"-s", "127.0.0.1", "-6"});
    EXPECT_EQ(settings.forced_family, AF_INET6);
    EXPECT_EQ(runtime.local_address.family(), AF_INET);
    EXPECT_EQ(runtime.local_address.to_string(true), "127.0.0.1/0");

    reset_globals();
    run_command_line({"-6", "-source", "::1/4000"});
    EXPECT_EQ(runtime.local_address.family(), AF_INET6);
    EXPECT_EQ(runtime.local_address.to_string(true), "::1/4000");
}

TEST_F(OptionsTest, BootstrapAddressesKeepTheirOrder) {
    run_command_line({"-B", "127.0.0.2", "-bootstrap", "::1/20", "-B", "10.1.2.3/0"});
    ASSERT_EQ(settings.bootstrap_list.size(), 3u);
    EXPECT_EQ(settings.bootstrap_list[0].to_string(true), "127.0.0.2/10000");
    EXPECT_EQ(settings.bootstrap_list[1].to_string(true), "::1/20");
    EXPECT_EQ(settings.bootstrap_list[2].to_string(true), "10.1.2.3/0");
    EXPECT_TRUE(runtime.local_address.is_unspecified());
}

TEST_F(OptionsTest, InterfaceByName) {
    unsigned loopback = if_nametoindex("lo");
    if (loopback == 0) GTEST_SKIP() << "no loopback interface named lo";
    run_command_line({"-i", "lo"});
    EXPECT_EQ(settings.interface_index, loopback);
}

TEST_F(OptionsTest, Flags) {
    run_command_line({"-F", "ssmping"});
    EXPECT_EQ(runtime.beacon_flags, FLAG_SSMPING);

    reset_globals();
    testing::internal::CaptureStderr();
    run_command_line({"-F", "SSMPing", "-flag", "mtrace", "-n", "after"});
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unknown flag \"SSMPing\"\nUnknown flag \"mtrace\"\n");
    EXPECT_EQ(runtime.beacon_flags, 0u);
    EXPECT_EQ(settings.beacon_name, "after");
}

struct FatalCase {
    std::vector<std::string> words;
    std::string message;
};

TEST_F(OptionsDeathTest, OptionErrorsAreFatal) {
    const std::string long_text(TLV_VALUE_MAX + 1, 'x');
    const FatalCase cases[] = {
        {{"-x"}, "Unknown option `x`"},
        {{"-N", "x"}, "Unknown option `N`"},
        {{"-vv"}, "Unknown option `vv`"},
        {{"--name", "x"}, "Unknown option `-name`"},
        {{"-"}, "Unknown option ``"},
        {{"-c"}, "Parameter `c` requires an argument."},
        {{"-n", "-D"}, "Parameter `n` requires an argument."},
        {{"-name"}, "Parameter `name` requires an argument."},
        {{"-I", "-5"}, "Parameter `I` requires an argument."},
        {{"-D", "word"}, "Parameter `D` doesn't accept an argument."},
        {{"-daemon", "word"}, "Parameter `daemon` doesn't accept an argument."},
        {{"-h", "word"}, "Parameter `h` doesn't accept an argument."},
        {{"-a", "ops.example.org"}, "Not a valid email address."},
        {{"-a", "\x01"}, "Not a valid email address."},
        {{"-i", "no-such-if9"}, "Invalid interface name."},
        {{"-I", "10s"}, "Dump interval: Expected unsigned integer."},
        {{"-I", "7 "}, "Dump interval: Expected unsigned integer."},
        {{"-I", " "}, "Dump interval: Expected unsigned integer."},
        {{"-I", "0x10"}, "Dump interval: Expected unsigned integer."},
        {{"-I", "4294968"}, "Dump interval: value too large, at most 4294967 seconds."},
        {{"-I", "4294967296"}, "Dump interval: value too large, at most 4294967 seconds."},
        {{"-I", "4294967301"}, "Dump interval: value too large, at most 4294967 seconds."},
        {{"-I", "99999999999999999999999"}, "Dump interval: value too large, at most 4294967 seconds."},
        {{"-v", "x"}, "Verbose: Expected unsigned integer."},
        {{"-v", "3x"}, "Verbose: Expected unsigned integer."},
        {{"-C", "DEU"}, "Bad country code."},
        {{"-CC", "D"}, "Bad country code."},
        {{"-C", ""}, "Bad country code."},
        {{"-C", "\x01\x02\x03"}, "Bad country code."},
        {{"-O", "maybe"}, "ssm_send_only: Expected one of 'yes', 'true', 'no' or 'false'."},
        {{"-P", "2"}, "ssmping: Expected one of 'yes', 'true', 'no' or 'false'."},
        {{"-U", "on"}, "dump-bw: Expected one of 'yes', 'true', 'no' or 'false'."},
        {{"-c", "/nonexistent/quillon.conf"}, "Failed to open configuration file."},
        {{"-n", long_text}, "name: value too long, at most 255 characters."},
        {{"-a", "a@" + long_text}, "admin contact: value too long, at most 255 characters."},
        {{"-W", long_text}, "website: value too long, at most 255 characters."},
        {{"-W", "lg$" + long_text}, "LG website: value too long, at most 255 characters."},
        {{"-W", "matrix$" + long_text}, "matrix url: value too long, at most 255 characters."},
        {{"-Wm", long_text}, "matrix url: value too long, at most 255 characters."},
        {{"-Wl", long_text}, "lg url: value too long, at most 255 characters."},
        // Earlier options take effect first; a later error is still fatal.
        {{"-n", "ok", "-x", "-h"}, "Unknown option `x`"},
        {{"-D", "-d", "-I", "y"}, "Dump interval: Expected unsigned integer."},
    };
    for (const FatalCase& c : cases) {
        EXPECT_EXIT(run_command_line(c.words), testing::ExitedWithCode(255), fatal_only(c.message))
            << describe(c.words);
    }
}

TEST_F(OptionsDeathTest, UnresolvableAddressesAreFatal) {
    const FatalCase cases[] = {
        {{"-B", "0.0.0.0"}, "No usable records for 0.0.0.0"},
        {{"-s", "::/99"}, "No usable records for ::"},
        {{"-6", "-s", "127.0.0.1"}, "getaddrinfo failed: "},
        {{"-4", "-B", "::1"}, "getaddrinfo failed: "},
        {{"-s", std::string(ADDRESS_TEXT_MAX + 1, '1')}, ""},
    };
    for (const FatalCase& c : cases) {
        EXPECT_EXIT(run_command_line(c.words), testing::ExitedWithCode(255),
                    "^" + STAMP + escape(c.message) + "[^\n]*\n" + STAMP + "Bad address format\\.\n$")
            << describe(c.words);
    }
}

TEST_F(OptionsDeathTest, NonPrintableTextsEndWithStatusOne) {
    const FatalCase cases[] = {
        {{"-n", "a\tb"}, "name"},
        {{"-n", std::string(TLV_VALUE_MAX, 'x') + "\x7f"}, "name"},
        {{"-a", "ops@example.org\n"}, "admin contact"},
        {{"-C", "D\x01"}, "country"},
        {{"-W", "http://x/\x1b"}, "website"},
        {{"-W", "lg$\x80"}, "LG website"},
        {{"-W", "matrix$\xff"}, "matrix url"},
        {{"-Wm", "\r"}, "matrix url"},
        {{"-Wl", "\x1f"}, "lg url"},
        {{"-p", "/run/\x7fq"}, "pidfile"},
    };
    for (const FatalCase& c : cases) {
        EXPECT_EXIT(run_command_line(c.words), testing::ExitedWithCode(1),
                    "^" + escape("Invalid `" + c.message + "` string.\n") + "$")
            << describe(c.words);
    }
    // Every printable byte passes, and so does an empty text.
    std::string printable;
    for (int c = 0x20; c <= 0x7e; ++c) printable += static_cast<char>(c);
    check_printable("all", printable);
    check_printable("empty", "");
}

TEST_F(OptionsDeathTest, OptionErrorsGoToStandardErrorEvenWithSyslog) {
    EXPECT_EXIT(run_command_line({"-Y", "-D", "-x"}), testing::ExitedWithCode(255), fatal_only("Unknown option `x`"));
}

const char* const USAGE =
    "Usage: quillon [OPTIONS...]\n\n"
    "  -n NAME, -name NAME    Specifies the beacon name\n"
    "  -a MAIL                Supply administration contact\n"
    "  -i IN, -interface IN   Use IN instead of the default interface for multicast\n"
    "  -b BEACON_ADDR[/PORT]  Multicast group address to send probes to\n"
    "  -S [GROUP_ADDR[/PORT]] Enables SSM reception/sending on optional GROUP_ADDR/PORT\n"
    "  -O                     Disables the joining of SSM groups but still sends via SSM.\n"
    "                         Use this option if your operating system has problems with SSM\n"
    "  -B ADDR                Bootstraps by joining the specified address\n"
    "  -P, -ssmping           Enable the SSMPing server capability\n"
    "  -s ADDR                Bind to local address\n"
    "  -d [FILE]              Dump periodic reports to dump.xml or specified file\n"
    "  -I N, -interval N      Interval between dumps. Defaults to 5 secs\n"
    "  -W URL, -website URL   Specify a website to announce.\n"
    "  -Wm URL, -matrix URL   Specify your matrix URL\n"
    "  -Wl URL, -lg URL       Specify your LG URL\n"
    "                         will announce an URL for that type instead\n"
    "  -C CC                  Specify your two letter Country Code\n"
    "  -L program             Launch program after each dump.\n"
    "                         The first argument will be the dump filename\n"
    "  -F flag                Set a quillon flag to be announced.\n"
    "                         Available flags are: ssmping\n"
    "  -4, -ipv4              Force IPv4 usage\n"
    "  -6, -ipv6              Force IPv6 usage\n"
    "  -v                     be verbose (use several for more verbosity)\n"
    "  -U                     Dump periodic bandwidth usage reports to stdout\n"
    "  -D, -daemon            fork to the background (daemonize)\n"
    "  -pidfile FILE          Specifies the PID filename to use\n"
    "  -syslog                Outputs using syslog facility.\n"
    "  -c FILE                Specifies the configuration file\n"
    "  -V, -version           Outputs version information and leaves\n"
    "\n";

// Sends standard output to standard error, where the death test reads.
void run_with_stdout_on_stderr(const std::vector<std::string>& words) {
    fflush(stdout);
    dup2(2, 1);
    run_command_line(words);
}

TEST_F(OptionsDeathTest, UsageTextOnStandardOutput) {
    for (const auto& words : std::vector<std::vector<std::string>>{{"-h"}, {"-help"}, {"-n", "x", "-h", "-x"}}) {
        EXPECT_EXIT(run_with_stdout_on_stderr(words), testing::ExitedWithCode(1), "^" + escape(USAGE) + "$")
            << describe(words);
    }
    // Nothing of it goes to standard error.
    EXPECT_EXIT(
        {
            dup2(open("/dev/null", O_WRONLY), 1);
            run_command_line({"-h"});
        },
        testing::ExitedWithCode(1), "^$");
}

TEST_F(OptionsDeathTest, VersionTextOnStandardError) {
    const std::string line = "[^\n]*\n";
    const std::string indented = "  [^ \n]" + line;
    const std::string credit = "  o " + line;
    const std::string version = "^\n" + escape("quillon - a Multicast Beacon 0.3.9.1 ($Rev: 409 $)\n") + "\n" +
                                indented + "\n" + indented + "\n" + credit + credit + credit + "    - " + line +
                                credit + "\n$";
    EXPECT_EXIT(run_command_line({"-V"}), testing::ExitedWithCode(1), version);
    EXPECT_EXIT(run_command_line({"-version", "-h"}), testing::ExitedWithCode(1), version);
    // Nothing of it goes to standard output.
    EXPECT_EXIT(
        {
            dup2(2, 1);
            close(2);
            run_command_line({"-V"});
        },
        testing::ExitedWithCode(1), "^$");
}

}  // namespace
