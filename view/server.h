// serve: the live page, /matrix.json, /dump.xml and /metrics over HTTP.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "view/body.h"
#include "view/history.h"
#include "view/json_output.h"
#include "view/thresholds.h"
#include "view/watcher.h"

struct MHD_Daemon;
struct MHD_Connection;
struct sockaddr;

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
    unsigned per_address_limit = 8;   // connections from one client address
    unsigned reserved = 16;           // the last free slots: only for an address that holds none
    double request_deadline_s = 5;    // from a connection's accept to its last response byte
    unsigned large_in_flight = 16;    // responses above LARGE_BODY being sent at once
    std::function<void(const std::string&)> log;  // one line, without prefix or newline
    std::string history = ":memory:";  // the history's database file; empty: none
    double history_max_mb = 2048;
};

// Bodies from this size on are counted against large_in_flight.
constexpr size_t LARGE_BODY = size_t(1) << 20;

struct Response {
    unsigned status = 200;
    std::string content_type = "text/plain; charset=utf-8";
    Body body;
    std::map<std::string, std::string> headers;
};

// Answers one request; needs no socket, so tests can call it directly.
class Site {
public:
    explicit Site(const ServeOptions& options)
        : options_(options), watcher_(options.dump, options.clock_threshold_ms, options.log) {}
    Response answer(const std::string& method, const std::string& path);
    // With the request's query parameters (/history and /events read them).
    Response answer(const std::string& method, const std::string& path, const std::map<std::string, std::string>& query);
    // The history that /history and /events read; none: they answer 404.
    void set_history(History* history) { history_ = history; }
    // The current view of the dump, read again when it changed.
    View check() { return watcher_.current(); }

private:
    // What the paths serve of one snapshot, each rendered at its first
    // request and shared by every response until the dump changes.
    struct Rendered {
        std::shared_ptr<const Snapshot> snapshot;
        std::once_flag metrics_once, json_once, page_once;
        PieceRef dump, metrics, json, page_data;
    };
    std::shared_ptr<Rendered> rendered(const View& view);
    Response page(const View& view, Rendered& r);
    Response matrix_json(const View& view, Rendered& r);
    Response metrics(const View& view, Rendered& r);
    Response dump_xml(const View& view, Rendered& r);
    Status status_of(const View& view);
    std::optional<double> dump_interval();

    Response history_answer(const std::string& path, const std::map<std::string, std::string>& query);

    ServeOptions options_;
    DumpWatcher watcher_;
    std::mutex rendered_mutex_;
    std::shared_ptr<Rendered> rendered_;
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

    // Connection bookkeeping, called from the server's threads.
    bool admit(const ::sockaddr* address);
    void opened(MHD_Connection* connection, void** socket_context);
    void closed(MHD_Connection* connection, void** socket_context);
    bool take_large_slot();
    void give_large_slot();

private:
    struct Open {
        int fd;
        std::string address;
        double deadline;
    };
    void reap();

    ServeOptions options_;
    Site site_;
    std::unique_ptr<History> history_;
    MHD_Daemon* daemon_ = nullptr;
    int listen_fd_ = -1;
    std::mutex connections_mutex_;
    std::map<MHD_Connection*, Open> open_;
    std::map<std::string, unsigned> per_address_;
    std::atomic<unsigned> large_{0};
    std::mutex reaper_mutex_;
    std::condition_variable reaper_wake_;
    bool stopping_ = false;
    std::thread reaper_;
};

// Splits "ADDR:PORT" ("[V6]:PORT" for IPv6); false when it is not one.
bool parse_listen(const std::string& text, std::string& address, unsigned short& port);

}  // namespace view
