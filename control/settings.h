// The configuration record and the options that fill it.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "net/address.h"

constexpr int32_t WEBSITE_GENERIC = 'G';
constexpr int32_t WEBSITE_LG = 'L';
constexpr int32_t WEBSITE_MATRIX = 'M';

constexpr uint32_t FLAG_SSM = 1;
constexpr uint32_t FLAG_SSMPING = 2;

constexpr const char* QUILLON_VERSION = "0.3.9.1 ($Rev: 409 $)";

// A value of a TLV carries one length byte; no announced text may exceed it.
constexpr size_t TLV_VALUE_MAX = 255;

// The longest configuration file line, line end not counted; a longer one
// ends start-up.
constexpr size_t CONFIG_LINE_MAX = 255;

struct Settings {
    std::string beacon_name;
    std::string admin_contact;
    std::string country_code;
    std::map<int32_t, std::string> websites;  // type letter -> URL
    uint32_t interface_index = 0;
    std::string beacon_group_text;
    std::string ssm_group_text;
    bool ssm_enabled = false;
    bool ssm_join = false;
    std::vector<Address> bootstrap_list;
    bool ssmping_enabled = false;
    std::string dump_file;
    int32_t dump_interval = 5;
    std::string launch_program;
    int32_t verbose = 0;
    int forced_family = AF_UNSPEC;
    bool daemonize = false;
    bool use_syslog = false;
    bool has_pid_file = false;
    std::string pid_file;
    bool dump_bandwidth = false;
};

extern Settings settings;

enum ArgumentKind { ARG_NONE = 0, ARG_REQUIRED = 1, ARG_OPTIONAL = 2 };

struct OptionEntry {
    int id;
    const char* short_name;
    const char* long_name;  // nullptr for "c"
    ArgumentKind argument;
};

constexpr int OPTION_COUNT = 27;
extern const OptionEntry option_table[OPTION_COUNT];

// Walks the words (argv[1..argc-1]), pairs options with values, then applies
// them in order.  Ends the process on any error.
void process_command_line(int argc, char** argv);
// value is nullptr when the option has none.
void apply_option(const OptionEntry& entry, const char* value);
// Ends the process on a file that cannot be read and on a line longer
// than CONFIG_LINE_MAX, before anything of that line is applied.
void read_config_file(const char* path);
bool parse_bool_value(const char* value, bool default_value, const char* what);
void check_printable(const char* description, const std::string& text);
[[noreturn]] void print_usage();
[[noreturn]] void print_version();

// Finds the entry by option text on the command line (long or short name).
const OptionEntry* find_option(const std::string& text);
// Finds the entry by key in a configuration file (long names only).
const OptionEntry* find_option_by_long_name(const std::string& key);
