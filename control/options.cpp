// The option table, the command-line walk, configuration files, and the
// usage and version texts.
#include <net/if.h>
#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "control/log.h"
#include "control/process.h"
#include "control/runtime.h"
#include "control/settings.h"
#include "net/address.h"

// The order is the order of lookup.
const OptionEntry option_table[OPTION_COUNT] = {
    {1, "n", "name", ARG_REQUIRED},
    {2, "a", "contact", ARG_REQUIRED},
    {3, "i", "interface", ARG_REQUIRED},
    {4, "b", "addr", ARG_REQUIRED},
    {5, "S", "ssm_addr", ARG_OPTIONAL},
    {6, "O", "ssm_send_only", ARG_OPTIONAL},
    {7, "B", "bootstrap", ARG_REQUIRED},
    {8, "P", "ssmping", ARG_OPTIONAL},
    {9, "s", "source", ARG_REQUIRED},
    {10, "d", "dump", ARG_OPTIONAL},
    {11, "I", "interval", ARG_REQUIRED},
    {12, "L", "exec", ARG_REQUIRED},
    {13, "W", "website", ARG_REQUIRED},
    {14, "Wm", "matrix", ARG_REQUIRED},
    {15, "Wl", "lg", ARG_REQUIRED},
    {16, "C", "CC", ARG_REQUIRED},
    {17, "F", "flag", ARG_REQUIRED},
    {18, "v", "verbose", ARG_OPTIONAL},
    {19, "U", "dump-bw", ARG_OPTIONAL},
    {20, "h", "help", ARG_NONE},
    {21, "4", "ipv4", ARG_NONE},
    {22, "6", "ipv6", ARG_NONE},
    {24, "D", "daemon", ARG_NONE},
    {25, "p", "pidfile", ARG_REQUIRED},
    {26, "Y", "syslog", ARG_NONE},
    {27, "c", nullptr, ARG_REQUIRED},
    {23, "V", "version", ARG_NONE},
};

namespace {

// The largest dump interval whose period in milliseconds fits in 32 bits.
constexpr unsigned long DUMP_INTERVAL_MAX = 4294967;

// Reads a decimal number the way strtoul does (leading white space and a
// sign accepted, an empty text reads 0); the whole text must be consumed.
unsigned long read_unsigned(const char* text, const char* description) {
    char* end = nullptr;
    errno = 0;
    unsigned long number = strtoul(text, &end, 10);
    if (*end != '\0') log_fatal("%s: Expected unsigned integer.", description);
    return number;
}

// A number text read by read_unsigned that carries a minus sign.
bool is_negative_number(const char* text) {
    while (isspace(static_cast<unsigned char>(*text))) ++text;
    return *text == '-';
}

// Text announced in a TLV must fit its one-byte length.
void check_announced(const char* description, const std::string& text) {
    check_printable(description, text);
    if (text.size() > TLV_VALUE_MAX) log_fatal("%s: value too long, at most %zu characters.", description, TLV_VALUE_MAX);
}

void set_website(int32_t type, const char* description, const std::string& url) {
    check_announced(description, url);
    settings.websites[type] = url;
}

bool starts_with(const char* text, const char* prefix) { return strncmp(text, prefix, strlen(prefix)) == 0; }

// Checks the value against the entry's argument kind, reporting errors with
// the option text or file key as written, then applies it.
void apply_checked(const OptionEntry* entry, const std::string& text, const char* value) {
    if (!entry) log_fatal("Unknown option `%s`", text.c_str());
    if (entry->argument == ARG_REQUIRED && !value) log_fatal("Parameter `%s` requires an argument.", text.c_str());
    if (entry->argument == ARG_NONE && value) log_fatal("Parameter `%s` doesn't accept an argument.", text.c_str());
    apply_option(*entry, value);
}

bool is_space(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

std::string trim_right(const char* begin, const char* end) {
    while (end > begin && is_space(end[-1])) --end;
    return std::string(begin, end);
}

}  // namespace

const OptionEntry* find_option(const std::string& text) {
    for (const OptionEntry& entry : option_table) {
        if ((entry.long_name && text == entry.long_name) || text == entry.short_name) return &entry;
    }
    return nullptr;
}

const OptionEntry* find_option_by_long_name(const std::string& key) {
    for (const OptionEntry& entry : option_table) {
        if (entry.long_name && key == entry.long_name) return &entry;
    }
    return nullptr;
}

void process_command_line(int argc, char** argv) {
    // Pair every option with its value first; a value never begins with '-'.
    std::vector<std::pair<std::string, const char*>> pairs;
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] != '-') continue;  // a stray word
        const char* option = argv[i] + 1;
        const char* value = nullptr;
        if (i + 1 < argc && argv[i + 1][0] != '-') value = argv[++i];
        pairs.emplace_back(option, value);
    }
    for (const auto& pair : pairs) apply_checked(find_option(pair.first), pair.first, pair.second);
}

void apply_option(const OptionEntry& entry, const char* value) {
    // Required values are checked by the callers; an absent one reads as
    // empty here rather than as a null pointer.
    const char* text = value ? value : "";
    switch (entry.id) {
    case 1:
        check_announced("name", text);
        settings.beacon_name = text;
        break;
    case 2:
        if (!strchr(text, '@')) log_fatal("Not a valid email address.");
        check_announced("admin contact", text);
        settings.admin_contact = text;
        break;
    case 3: {
        unsigned index = if_nametoindex(text);
        if (index == 0) log_fatal("Invalid interface name.");
        settings.interface_index = index;
        break;
    }
    case 4:
        settings.beacon_group_text = text;
        break;
    case 5:
        if (value) settings.ssm_group_text = value;
        settings.ssm_enabled = true;
        settings.ssm_join = true;
        break;
    case 6:
        settings.ssm_enabled = true;
        settings.ssm_join = parse_bool_value(value, false, entry.long_name);
        break;
    case 7: {
        Address address;
        if (!address.parse(text, false, true)) log_fatal("Bad address format.");
        settings.bootstrap_list.push_back(address);
        break;
    }
    case 8:
        settings.ssmping_enabled = parse_bool_value(value, true, entry.long_name);
        break;
    case 9: {
        Address address;
        if (!address.parse(text, false, false)) log_fatal("Bad address format.");
        runtime.local_address = address;
        break;
    }
    case 10:
        settings.dump_file = value ? value : "dump.xml";
        break;
    case 11: {
        unsigned long number = read_unsigned(text, "Dump interval");
        // A negative number is below the minimum, whatever its size: the
        // interval is then the shortest one.  A positive one is refused
        // rather than wrapped, since the dump period in milliseconds is a
        // 32-bit number.
        if (is_negative_number(text)) {
            settings.dump_interval = 5;
            break;
        }
        if (number > DUMP_INTERVAL_MAX)
            log_fatal("Dump interval: value too large, at most %lu seconds.", DUMP_INTERVAL_MAX);
        int32_t seconds = static_cast<int32_t>(number);
        settings.dump_interval = seconds >= 6 ? seconds : 5;
        break;
    }
    case 12:
        settings.launch_program = text;
        break;
    case 13:
        if (starts_with(text, "lg$"))
            set_website(WEBSITE_LG, "LG website", text + 3);
        else if (starts_with(text, "matrix$"))
            set_website(WEBSITE_MATRIX, "matrix url", text + 7);
        else
            set_website(WEBSITE_GENERIC, "website", text);
        break;
    case 14:
        set_website(WEBSITE_MATRIX, "matrix url", text);
        break;
    case 15:
        set_website(WEBSITE_LG, "lg url", text);
        break;
    case 16:
        if (strlen(text) != 2) log_fatal("Bad country code.");
        check_printable("country", text);
        settings.country_code = text;
        break;
    case 17:
        if (strcmp(text, "ssmping") == 0)
            runtime.beacon_flags |= FLAG_SSMPING;
        else
            fprintf(stderr, "Unknown flag \"%s\"\n", text);
        break;
    case 18:
        if (value)
            settings.verbose = static_cast<int32_t>(static_cast<uint32_t>(read_unsigned(value, "Verbose")));
        else
            settings.verbose = static_cast<int32_t>(static_cast<uint32_t>(settings.verbose) + 1);
        break;
    case 19:
        settings.dump_bandwidth = parse_bool_value(value, true, entry.long_name);
        break;
    case 20:
        print_usage();
    case 21:
        settings.forced_family = AF_INET;
        break;
    case 22:
        settings.forced_family = AF_INET6;
        break;
    case 23:
        print_version();
    case 24:
        settings.daemonize = true;
        break;
    case 25:
        check_printable("pidfile", text);
        settings.has_pid_file = true;
        settings.pid_file = text;
        break;
    case 26:
        settings.use_syslog = true;
        break;
    case 27:
        read_config_file(text);
        break;
    default:
        break;
    }
}

namespace {
// Closes the file on every way out, also when a fatal line ends the reading
// in a caller that survives the exit (a test, a fuzz target).
struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
}  // namespace

void read_config_file(const char* path) {
    std::unique_ptr<FILE, FileCloser> owned(fopen(path, "r"));
    FILE* file = owned.get();
    if (!file) log_fatal("Failed to open configuration file.");
    // A line is read whole or not at all: the tail of a longer line, read
    // on its own, would be taken for a directive of its own.
    char line[CONFIG_LINE_MAX + 1];
    unsigned line_number = 0;
    while (fgets(line, sizeof line, file)) {
        ++line_number;
        size_t length = strlen(line);
        if (length == CONFIG_LINE_MAX && line[length - 1] != '\n') {
            int next = getc(file);
            if (next != '\n' && next != EOF)
                log_fatal("%s:%u: line longer than %zu characters.", path, line_number, CONFIG_LINE_MAX);
        }
        const char* start = line;
        while (is_space(*start)) ++start;
        if (*start == '\0' || *start == '#' || (start[0] == '/' && start[1] == '/')) continue;

        std::string key;
        std::string value;
        bool has_value = false;
        const char* colon = strchr(start, ':');
        if (colon) {
            key = trim_right(start, colon);
            const char* begin = colon + 1;
            while (is_space(*begin)) ++begin;
            value = trim_right(begin, begin + strlen(begin));
            has_value = true;
        } else {
            key = trim_right(start, start + strlen(start));
        }

        const OptionEntry* entry = find_option_by_long_name(key);
        if (!entry) log_fatal("Unknown option `%s`", key.c_str());
        if (has_value && !value.empty() && value[0] == '"') {
            size_t closing = value.find('"', 1);
            if (closing == std::string::npos || closing != value.size() - 1)
                log_fatal("%s: Bad string format.", key.c_str());
            value = value.substr(1, closing - 1);
        }
        apply_checked(entry, key, has_value ? value.c_str() : nullptr);
    }
    // A directory opens but cannot be read, and a read error ends the
    // lines early: either way the file's settings were not all given.
    if (ferror(file)) log_fatal("Failed to open configuration file.");
}

bool parse_bool_value(const char* value, bool default_value, const char* what) {
    if (!value) return default_value;
    if (strcasecmp(value, "yes") == 0 || strcasecmp(value, "true") == 0 || strcmp(value, "1") == 0) return true;
    if (strcasecmp(value, "no") == 0 || strcasecmp(value, "false") == 0 || strcmp(value, "0") == 0) return false;
    log_fatal("%s: Expected one of 'yes', 'true', 'no' or 'false'.", what);
}

void check_printable(const char* description, const std::string& text) {
    for (char c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7e) {
            fprintf(stderr, "Invalid `%s` string.\n", description);
            end_process(1);
        }
    }
}

void print_usage() {
    fputs(
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
        , stdout);
    fputs("\n", stdout);
    fflush(stdout);
    end_process(1);
}

void print_version() {
    fprintf(stderr,
            "\n"
            "quillon - a Multicast Beacon %s\n"
            "\n"
            "  Written and maintained by the quillon contributors.\n"
            "\n"
            "  Project home: https://quillon.example.org/\n"
            "\n"
            "  o Thanks to every operator who runs a beacon and reports what it sees\n"
            "  o Thanks to those who tested IPv6 and source-specific multicast\n"
            "  o Thanks to the network teams who keep the beacon groups reachable\n"
            "    - across many sites, domains and continents\n"
            "  o Thanks to all who sent patches, ideas and bug reports\n"
            "\n",
            QUILLON_VERSION);
    end_process(1);
}
