// serve: the live page, /matrix.json and /dump.xml over HTTP.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "view/history.h"
#include "view/json_output.h"
#include "view/thresholds.h"
#include "view/watcher.h"

struct MHD_Daemon;

namespace view {

struct ServeOptions {
    std::string dump;
    std::string listen = "127.0.0.1:9798";
    std::optional<double> dump_interval_s;  // learnt from the rewrites when not given
    Thresholds thresholds;
    bool all = false;                 // /metrics: every measurement, not only the local beacon's
    double clock_threshold_ms = 10;   // clock-suspect beacons
    unsigned threads = 4;
    unsigned connection_limit = 64;
    unsigned per_ip_limit = 16;
    unsigned timeout_s = 10;
    std::string history = ":memory:";  // the history's database file; empty: none
    double history_max_mb = 2048;
};

struct Response {
    unsigned status = 200;
    std::string content_type = "text/plain; charset=utf-8";
    std::string body;
    // Instead of body: text inside the snapshot, which the response keeps.
    std::shared_ptr<const Snapshot> snapshot;
    const std::string* snapshot_text = nullptr;
    std::map<std::string, std::string> headers;
};

// Answers one request; needs no socket, so tests can call it directly.
class Site {
public:
    explicit Site(const ServeOptions& options) : options_(options), watcher_(options.dump, options.clock_threshold_ms) {}
    Response answer(const std::string& method, const std::string& path);
    // With the request's query parameters (/history and /events read them).
    Response answer(const std::string& method, const std::string& path, const std::map<std::string, std::string>& query);
    // The history that /history and /events read; none: they answer 404.
    void set_history(History* history) { history_ = history; }
    // The current view of the dump, read again when it changed.
    View check() { return watcher_.current(); }

private:
    Response page(const View& view);
    Response matrix_json(const View& view);
    Response metrics(const View& view);
    Status status_of(const View& view);
    std::optional<double> dump_interval();

    Response history_answer(const std::string& path, const std::map<std::string, std::string>& query);

    ServeOptions options_;
    DumpWatcher watcher_;
    History* history_ = nullptr;
};

class Server {
public:
    explicit Server(const ServeOptions& options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    // Starts listening; gives an error text when it cannot.
    std::string start();
    unsigned short port() const;  // the bound port (useful with port 0)
    // Starts the history's writer thread.
    void record_history();
    Site& site() { return site_; }

private:
    ServeOptions options_;
    Site site_;
    std::unique_ptr<History> history_;
    MHD_Daemon* daemon_ = nullptr;
};

// Splits "ADDR:PORT" ("[V6]:PORT" for IPv6); false when it is not one.
bool parse_listen(const std::string& text, std::string& address, unsigned short& port);

}  // namespace view
