#include "view/cli.h"

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "view/atomic_file.h"
#include "view/json_output.h"
#include "view/memory.h"
#include "view/model.h"
#include "view/page.h"
#include "view/server.h"
#include "view/table.h"

#ifndef QUILLON_VIEW_VERSION
#define QUILLON_VIEW_VERSION "unknown"
#endif

namespace view {

namespace {

const char* const USAGE =
    "usage: quillon-view table DUMP [--metric loss|delay|jitter|ooo|dup|ttl] [--channel asm|ssm]\n"
    "                         [--threshold METRIC=DEGRADED,BAD]...\n"
    "       quillon-view json DUMP\n"
    "       quillon-view html DUMP -o FILE [--threshold METRIC=DEGRADED,BAD]... [--dump-interval SECS]\n"
    "       quillon-view serve DUMP [--listen ADDR:PORT] [--dump-interval SECS] [--threshold ...]...\n"
    "                         [--all] [--clock-threshold MS] [--history FILE] [--history-max-mb MB]\n"
    "                         [--no-history]\n"
    "       quillon-view -h|--help | -V|--version\n";

const char* const HELP =
    "\n"
    "Shows the reception matrix of a quillon beacon's dump file (-d).\n"
    "\n"
    "  table   the matrix in the terminal: rows receive, columns send, beacons numbered\n"
    "          with a legend; '-' where there are no figures; colours only on a terminal\n"
    "          and when NO_COLOR is unset\n"
    "  json    the matrix as one JSON document on stdout\n"
    "  html    one self-contained web page, written to FILE atomically\n"
    "  serve   HTTP server: / (the live page), /matrix.json, /dump.xml, /metrics\n"
    "          (Prometheus), /history and /events (the history of every cell); the\n"
    "          dump is re-read when it changes\n"
    "\n"
    "  --metric M            figure in the table (default loss)\n"
    "  --channel C           asm (default) or ssm\n"
    "  --threshold M=D,B     a figure >= D is degraded, >= B is bad; defaults:\n"
    "                        loss 1,5 (%); delay 100,250 (ms, absolute value);\n"
    "                        jitter 10,30 (ms); ooo 1,5 (%); dup 1,5 (%); ttl 16,64 (hops)\n"
    "  -o FILE               the page's file (html)\n"
    "  --dump-interval SECS  the beacon's dump interval; the page warns when the dump\n"
    "                        is older than three of them.  serve learns it from the\n"
    "                        rewrites it sees when not given; html warns only when given\n"
    "  --listen ADDR:PORT    serve's address (default 127.0.0.1:9798; [ADDR]:PORT for IPv6)\n"
    "  --all                 /metrics exports every beacon's measurements, not only the\n"
    "                        local beacon's\n"
    "  --clock-threshold MS  clock offset that makes a beacon clock-suspect (default 10)\n"
    "  --history FILE        serve records the matrix's history (/history, /events) in\n"
    "                        this SQLite file (default: in memory while it runs)\n"
    "  --history-max-mb MB   the history's size limit (default 2048)\n"
    "  --no-history          serve records no history\n"
    "\n"
    "Figures are stale when their age in the dump plus the dump's own age exceeds\n"
    "6 beacon intervals.  A dump that cannot be read:\n"
    "table, json and html write nothing and exit with status 1.\n";

struct Options {
    std::string command;
    std::string dump;
    std::string output;
    Metric metric = Metric::Loss;
    Channel channel = Channel::Asm;
    ServeOptions serve;
};

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

bool parse_seconds(const std::string& text, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && end && *end == '\0' && value > 0 && value < 1e9;
}

Options parse(int argc, char** argv) {
    static const std::map<std::string, std::set<std::string>> allowed = {
        {"table", {"--metric", "--channel", "--threshold"}},
        {"json", {}},
        {"html", {"-o", "--threshold", "--dump-interval"}},
        {"serve",
         {"--listen", "--dump-interval", "--threshold", "--all", "--clock-threshold", "--history", "--history-max-mb",
          "--no-history"}},
    };
    Options options;
    options.command = argv[1];
    auto command = allowed.find(options.command);
    if (command == allowed.end()) throw UsageError("unknown command \"" + options.command + "\"");
    std::vector<std::string> positional;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);
            continue;
        }
        std::string value;
        bool inline_value = false;
        size_t equals = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg = arg.substr(0, equals);
            inline_value = true;
        }
        if (command->second.count(arg) == 0) throw UsageError(options.command + " takes no option " + arg);
        if (arg == "--all") {
            if (inline_value) throw UsageError("--all takes no value");
            options.serve.all = true;
            continue;
        }
        if (arg == "--no-history") {
            if (inline_value) throw UsageError("--no-history takes no value");
            options.serve.history.clear();
            continue;
        }
        if (!inline_value) {
            if (i + 1 >= argc) throw UsageError(arg + " needs a value");
            value = argv[++i];
        }
        if (arg == "--metric") {
            std::optional<Metric> metric = metric_from_name(value);
            if (!metric) throw UsageError("--metric wants loss, delay, jitter, ooo, dup or ttl, not \"" + value + "\"");
            options.metric = *metric;
        } else if (arg == "--channel") {
            if (value != "asm" && value != "ssm") throw UsageError("--channel wants asm or ssm, not \"" + value + "\"");
            options.channel = value == "asm" ? Channel::Asm : Channel::Ssm;
        } else if (arg == "--threshold") {
            if (std::optional<std::string> error = options.serve.thresholds.set(value)) throw UsageError(*error);
        } else if (arg == "-o") {
            options.output = value;
        } else if (arg == "--dump-interval") {
            double seconds = 0;
            if (!parse_seconds(value, seconds))
                throw UsageError("--dump-interval wants a positive number of seconds, not \"" + value + "\"");
            options.serve.dump_interval_s = seconds;
        } else if (arg == "--clock-threshold") {
            if (!parse_seconds(value, options.serve.clock_threshold_ms))
                throw UsageError("--clock-threshold wants a positive number of milliseconds, not \"" + value + "\"");
        } else if (arg == "--history") {
            if (value.empty()) throw UsageError("--history wants a file name");
            options.serve.history = value;
        } else if (arg == "--history-max-mb") {
            if (!parse_seconds(value, options.serve.history_max_mb) || options.serve.history_max_mb < 1)
                throw UsageError("--history-max-mb wants a size in MB of at least 1, not \"" + value + "\"");
        } else if (arg == "--listen") {
            std::string host;
            unsigned short port;
            if (!parse_listen(value, host, port))
                throw UsageError("--listen wants ADDR:PORT with a numeric address, not \"" + value + "\"");
            options.serve.listen = value;
        }
    }
    if (positional.size() != 1) throw UsageError(options.command + " wants one DUMP file");
    options.dump = positional[0];
    options.serve.dump = options.dump;
    if (options.command == "html" && options.output.empty()) throw UsageError("html wants -o FILE");
    return options;
}

void error_line(const std::string& what) { std::fprintf(stderr, "quillon-view: %s\n", what.c_str()); }

bool write_stdout(const std::string& text) {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
        error_line("cannot write to standard output");
        return false;
    }
    return true;
}

int run_table(const Options& options) {
    Model model = read_dump(options.dump);
    TableOptions table;
    table.metric = options.metric;
    table.channel = options.channel;
    table.thresholds = options.serve.thresholds;
    const char* no_color = std::getenv("NO_COLOR");
    table.colour = isatty(STDOUT_FILENO) && (no_color == nullptr || *no_color == '\0');
    std::string text;
    try {
        text = render_table(model, table);
    } catch (const std::length_error& e) {
        error_line(options.dump + ": " + e.what());
        return 1;
    }
    return write_stdout(text) ? 0 : 1;
}

int run_json(const Options& options) {
    Model model = read_dump(options.dump);
    std::string json = model_json(model);
    json += '\n';
    return write_stdout(json) ? 0 : 1;
}

int run_html(const Options& options) {
    Model model = read_dump(options.dump);
    Status status;
    status.generated = std::time(nullptr);
    struct stat st {};
    if (stat(options.dump.c_str(), &st) == 0) {
        status.dump_modified = st.st_mtime;
        status.dump_age_s = static_cast<double>(status.generated - st.st_mtime);
    }
    status.dump_interval_s = options.serve.dump_interval_s;
    status.thresholds = options.serve.thresholds;
    std::string page = render_page(with_status(model_json(model), status), false, make_nonce());
    std::string error = write_atomically(options.output, page);
    if (!error.empty()) {
        error_line(error);
        return 1;
    }
    return 0;
}

int run_serve(const Options& options) {
    // The server's threads inherit this mask; the signals are taken here.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    ServeOptions serve = options.serve;
    serve.log = error_line;
    Server server(serve);
    server.site().check();  // a first read, so that a bad dump is said at once
    std::string error = server.start();
    if (!error.empty()) {
        error_line(error);
        return 1;
    }
    std::string host;
    unsigned short port = 0;
    parse_listen(options.serve.listen, host, port);
    std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    server.record_history();
    error_line("serving " + options.dump + " on http://" + shown + ":" + std::to_string(server.port()) + "/");
    int signal_number = 0;
    sigwait(&stop, &signal_number);
    return 0;
}

}  // namespace

int run(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(USAGE, stderr);
        return 2;
    }
    std::string first = argv[1];
    if (first == "-h" || first == "--help") {
        std::fputs(USAGE, stdout);
        std::fputs(HELP, stdout);
        return 0;
    }
    if (first == "-V" || first == "--version") {
        std::printf("quillon-view %s\n", QUILLON_VIEW_VERSION);
        return 0;
    }
    try {
        Options options = parse(argc, argv);
        if (options.command != "serve") prepare_heap(size_t(64) << 20);
        if (options.command == "table") return run_table(options);
        if (options.command == "json") return run_json(options);
        if (options.command == "html") return run_html(options);
        return run_serve(options);
    } catch (const UsageError& e) {
        error_line(std::string(e.what()) + " (quillon-view -h lists the options)");
        return 2;
    } catch (const DumpError& e) {
        error_line(e.what());
        return 1;
    } catch (const std::bad_alloc&) {
        error_line("out of memory");
        return 1;
    } catch (const std::exception& e) {
        error_line(std::string("failed: ") + e.what());
        return 1;
    } catch (...) {
        error_line("failed");
        return 1;
    }
}

}  // namespace view
