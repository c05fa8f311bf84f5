// Configuration files: line reading, comments, keys, values and quoting.
#include <stdlib.h>
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

class ConfigFileTest : public testing::Test {
protected:
    void SetUp() override {
        reset_globals();
        std::string pattern = testing::TempDir() + "quillon-conf-XXXXXX";
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        directory_ = pattern;
    }
    void TearDown() override {
        reset_globals();
        for (const std::string& path : files_) unlink(path.c_str());
        rmdir(directory_.c_str());
    }

    // Writes the text as a new file and gives its path.
    std::string write_file(const std::string& text) {
        std::string path = directory_ + "/" + std::to_string(files_.size()) + ".conf";
        FILE* file = fopen(path.c_str(), "w");
        EXPECT_NE(file, nullptr);
        if (file) {
            fwrite(text.data(), 1, text.size(), file);
            fclose(file);
        }
        files_.push_back(path);
        return path;
    }

    std::string directory_;
    std::vector<std::string> files_;
};

using ConfigFileDeathTest = ConfigFileTest;

TEST_F(ConfigFileTest, CommentsAndEmptyLinesAreSkipped) {
    read_config_file(write_file("\n"
                                "   \t \n"
                                "# name: hash\n"
                                "   # name: indented hash\n"
                                "// name: slashes\n"
                                "\t// name: indented slashes\n"
                                "contact: ops@example.org # not a comment\n"
                                "CC: DE\n").c_str());
    EXPECT_EQ(settings.beacon_name, "");
    EXPECT_EQ(settings.admin_contact, "ops@example.org # not a comment");
    EXPECT_EQ(settings.country_code, "DE");
}

TEST_F(ConfigFileTest, KeysAndValues) {
    struct Case {
        std::string line;
        std::string name;
    };
    const Case cases[] = {
        {"name: alpha\n", "alpha"},
        {"name:alpha", "alpha"},  // last line without a line end
        {"  name   :   alpha beta  \n", "alpha beta"},
        {"\tname\t:\talpha\t\r\n", "alpha"},
        {"name:\n", ""},
        {"name:    \n", ""},
        {"name: a:b:c\n", "a:b:c"},
        {"name: \"two  spaces\"\n", "two  spaces"},
        {"name: \"\"\n", ""},
        {"name: \"x # y: z\"   \n", "x # y: z"},
        {"name: \" padded \"\n", " padded "},
        {"name: not\"quoted\"\n", "not\"quoted\""},
        {"name: //x\n", "//x"},
    };
    for (const Case& c : cases) {
        reset_globals();
        settings.beacon_name = "host";
        read_config_file(write_file(c.line).c_str());
        EXPECT_EQ(settings.beacon_name, c.name) << "[" << c.line << "]";
    }
}

TEST_F(ConfigFileTest, EveryKindOfOption) {
    read_config_file(write_file("daemon\n"
                                "   syslog   \n"
                                "ipv6\n"
                                "ssm_addr\n"
                                "dump\n"
                                "ssmping: no\n"
                                "dump-bw: YES\n"
                                "verbose: 3\n"
                                "interval: 7\n"
                                "website: http://example.org:8080/beacon\n"
                                "website: lg$http://lg.example.org/\n"
                                "matrix: \"http://m.example.org/a b\"\n"
                                "flag: ssmping\n"
                                "addr: ff3e::beac\n"
                                "bootstrap: ::1/9000\n"
                                "exec: /usr/local/bin/publish\n").c_str());
    EXPECT_TRUE(settings.daemonize);
    EXPECT_TRUE(settings.use_syslog);
    EXPECT_EQ(settings.forced_family, AF_INET6);
    EXPECT_TRUE(settings.ssm_enabled);
    EXPECT_TRUE(settings.ssm_join);
    EXPECT_EQ(settings.dump_file, "dump.xml");
    EXPECT_FALSE(settings.ssmping_enabled);
    EXPECT_TRUE(settings.dump_bandwidth);
    EXPECT_EQ(settings.verbose, 3);
    EXPECT_EQ(settings.dump_interval, 7);
    const std::map<int32_t, std::string> websites = {{WEBSITE_GENERIC, "http://example.org:8080/beacon"},
                                                     {WEBSITE_LG, "http://lg.example.org/"},
                                                     {WEBSITE_MATRIX, "http://m.example.org/a b"}};
    EXPECT_EQ(settings.websites, websites);
    EXPECT_EQ(runtime.beacon_flags, FLAG_SSMPING);
    EXPECT_EQ(settings.beacon_group_text, "ff3e::beac");
    ASSERT_EQ(settings.bootstrap_list.size(), 1u);
    EXPECT_EQ(settings.bootstrap_list[0].to_string(true), "::1/9000");
    EXPECT_EQ(settings.launch_program, "/usr/local/bin/publish");
}

TEST_F(ConfigFileTest, NumbersThroughFiles) {
    struct Case {
        std::string text;
        int32_t interval;
        int32_t verbose;
    };
    const Case cases[] = {
        {"interval:\n", 5, 0},
        {"interval: 0\nverbose: -1\n", 5, -1},
        {"interval: 6\nverbose: -2\n", 6, -2},
        {"interval: -0\nverbose:\n", 5, 0},
        // Negative intervals are below the minimum, not too large.
        {"interval: -1\n", 5, 0},
        {"interval: -7\n", 5, 0},
        {"interval: -5000000\n", 5, 0},
    };
    for (const Case& c : cases) {
        reset_globals();
        read_config_file(write_file(c.text).c_str());
        EXPECT_EQ(settings.dump_interval, c.interval) << c.text;
        EXPECT_EQ(settings.verbose, c.verbose) << c.text;
    }
}

TEST_F(ConfigFileTest, SendOnlyValueIsTheJoinSetting) {
    struct Case {
        std::string text;
        bool join;
    };
    const Case cases[] = {
        {"ssm_send_only\n", false},
        {"ssm_send_only: yes\n", true},
        {"ssm_send_only: 0\n", false},
        {"ssm_addr\nssm_send_only\n", false},
        {"ssm_send_only\nssm_addr\n", true},
    };
    for (const Case& c : cases) {
        reset_globals();
        read_config_file(write_file(c.text).c_str());
        EXPECT_TRUE(settings.ssm_enabled) << c.text;
        EXPECT_EQ(settings.ssm_join, c.join) << c.text;
    }
}

TEST_F(ConfigFileTest, LinesOfTheLimitAreReadWhole) {
    // Exactly 255 characters, with a line end or at the end of the file.
    const std::string full = "name: " + std::string(249, 'b');
    read_config_file(write_file(full + "\ncontact: a@b\n").c_str());
    EXPECT_EQ(settings.beacon_name, std::string(249, 'b'));
    EXPECT_EQ(settings.admin_contact, "a@b");

    reset_globals();
    read_config_file(write_file("contact: a@b\n" + full).c_str());
    EXPECT_EQ(settings.beacon_name, std::string(249, 'b'));
}

TEST_F(ConfigFileDeathTest, LongerLinesEndStartUpAndApplyNothing) {
    // 261 characters whose tail would read as the line "syslog", 256 whose
    // tail would read as "n", 300 whose tail is a valid "daemon" line.
    const std::string lines[] = {
        "website: http://example.org/" + std::string(227, 'a') + "syslog",
        "name: " + std::string(249, 'a') + "n",
        "name: " + std::string(249, 'a') + "daemon" + std::string(39, ' '),
    };
    const size_t lengths[] = {261, 256, 300};
    for (size_t i = 0; i < 3; ++i) {
        ASSERT_EQ(lines[i].size(), lengths[i]);
        const std::string path = write_file("# line 1\ncontact: a@b\n" + lines[i] + "\n");
        EXPECT_EXIT(
            {
                read_config_file(path.c_str());
                exit(0);
            },
            testing::ExitedWithCode(255), fatal_only(path + ":3: line longer than 255 characters."))
            << lengths[i];
    }
}

TEST_F(ConfigFileTest, PidFilePathOutlivesTheFile) {
    read_config_file(write_file("pidfile: /var/run/quillon.pid\nname: other\n").c_str());
    EXPECT_TRUE(settings.has_pid_file);
    EXPECT_EQ(settings.pid_file, "/var/run/quillon.pid");
}

TEST_F(ConfigFileTest, FilesApplyAtTheirPlaceOnTheCommandLine) {
    const std::string first = write_file("name: from-first\ncontact: first@example.org\n");
    const std::string second = write_file("name: from-second\n");

    run_command_line({"-c", first, "-n", "cli"});
    EXPECT_EQ(settings.beacon_name, "cli");

    reset_globals();
    run_command_line({"-n", "cli", "-c", first});
    EXPECT_EQ(settings.beacon_name, "from-first");

    reset_globals();
    run_command_line({"-c", first, "-c", second});
    EXPECT_EQ(settings.beacon_name, "from-second");
    EXPECT_EQ(settings.admin_contact, "first@example.org");
}

TEST_F(ConfigFileDeathTest, BadLinesAreFatal) {
    struct Case {
        std::string text;
        std::string message;
    };
    const Case cases[] = {
        {"n: x\n", "Unknown option `n`"},
        {"c: other.conf\n", "Unknown option `c`"},
        {"Name: x\n", "Unknown option `Name`"},
        {"-name: x\n", "Unknown option `-name`"},
        {": x\n", "Unknown option ``"},
        {"daemon:\n", "Parameter `daemon` doesn't accept an argument."},
        {"daemon: yes\n", "Parameter `daemon` doesn't accept an argument."},
        {"name\n", "Parameter `name` requires an argument."},
        {"  bootstrap  \n", "Parameter `bootstrap` requires an argument."},
        {"name: \"a\"b\"\n", "name: Bad string format."},
        {"name: \"abc\n", "name: Bad string format."},
        {"name: \"\n", "name: Bad string format."},
        {"name: \"abc\" x\n", "name: Bad string format."},
        {"website: \"\"\"\n", "website: Bad string format."},
        {"contact: nobody\n", "Not a valid email address."},
        {"CC: \"DEU\"\n", "Bad country code."},
        {"interval: 10s\n", "Dump interval: Expected unsigned integer."},
        {"interval: 5000000\n", "Dump interval: value too large, at most 4294967 seconds."},
        {"verbose: many\n", "Verbose: Expected unsigned integer."},
        {"ssmping:\n", "ssmping: Expected one of 'yes', 'true', 'no' or 'false'."},
        {"ssm_send_only: \"yes \"\n", "ssm_send_only: Expected one of 'yes', 'true', 'no' or 'false'."},
        {"name: ok\nnope\nname: never\n", "Unknown option `nope`"},
    };
    for (const Case& c : cases) {
        const std::string path = write_file(c.text);
        EXPECT_EXIT(read_config_file(path.c_str()), testing::ExitedWithCode(255), fatal_only(c.message))
            << "[" << c.text << "]";
    }
    // Missing, or a directory: a directory opens but reads nothing.
    for (const std::string& path : {directory_ + "/missing.conf", directory_}) {
        EXPECT_EXIT(read_config_file(path.c_str()), testing::ExitedWithCode(255),
                    fatal_only("Failed to open configuration file."))
            << path;
    }
}

TEST_F(ConfigFileDeathTest, QuotedValueStillPassesThePrintableCheck) {
    const std::string path = write_file("name: \"tab\there\"\n");
    EXPECT_EXIT(read_config_file(path.c_str()), testing::ExitedWithCode(1), "^Invalid `name` string\\.\n$");
}

}  // namespace
