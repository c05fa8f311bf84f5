#include "view/server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

#include <microhttpd.h>

#ifndef QUILLON_VIEW_VERSION
#define QUILLON_VIEW_VERSION "unknown"
#endif

#include "view/json_output.h"
#include "view/metrics.h"
#include "view/page.h"

namespace view {

namespace {

Response text_response(unsigned status, const std::string& line) {
    Response r;
    r.status = status;
    r.body = line + "\n";
    return r;
}

// Large bodies (a --all scrape of 150 beacons is some 60 MB) are rendered
// into buffers that are kept for the next request: their memory is already
// mapped, and faulting in fresh pages would cost more than the rendering.
class BufferPool {
public:
    std::string take() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (free_.empty()) return {};
        std::string buffer = std::move(free_.back());
        free_.pop_back();
        return buffer;
    }
    void give(std::string&& buffer) {
        if (buffer.capacity() < KEEP_FROM) return;
        buffer.clear();
        std::lock_guard<std::mutex> lock(mutex_);
        if (free_.size() < KEEP) free_.push_back(std::move(buffer));
    }

private:
    static constexpr size_t KEEP = 4;
    static constexpr size_t KEEP_FROM = size_t(1) << 20;
    std::mutex mutex_;
    std::vector<std::string> free_;
};

BufferPool buffers;

}  // namespace

std::optional<double> Site::dump_interval() {
    return options_.dump_interval_s ? options_.dump_interval_s : watcher_.rewrite_interval();
}

Status Site::status_of(const View& view) {
    Status status;
    status.generated = std::time(nullptr);
    status.dump_modified = view.snapshot->modified;
    status.dump_age_s = static_cast<double>(status.generated - view.snapshot->modified);
    status.dump_interval_s = dump_interval();
    status.error = view.error;
    status.thresholds = options_.thresholds;
    return status;
}

Response Site::page(const View& view) {
    std::string nonce = make_nonce();
    Response r;
    r.content_type = "text/html; charset=utf-8";
    r.body = render_page(with_status(view.snapshot->model_json, status_of(view)), true, nonce);
    r.headers["Content-Security-Policy"] = content_security_policy(nonce, true);
    return r;
}

Response Site::matrix_json(const View& view) {
    Response r;
    r.content_type = "application/json";
    r.body = buffers.take();
    with_status(view.snapshot->model_json, status_of(view), r.body);
    return r;
}

Response Site::metrics(const View& view) {
    MetricsInput input;
    input.model = &view.snapshot->model;
    input.pairs = &view.snapshot->pairs;
    input.clock_suspects = &view.snapshot->clock_suspects;
    input.all = options_.all;
    Status status = status_of(view);
    input.dump_interval_s = status.dump_interval_s;
    input.dump_overdue_after_s = status.dump_overdue_after_s();
    input.read_errors = view.read_errors;
    input.version = QUILLON_VIEW_VERSION;
    Response r;
    r.content_type = "text/plain; version=0.0.4";  // the format is UTF-8 by definition
    r.body = buffers.take();
    render_metrics(input, r.body);
    return r;
}

Response Site::answer(const std::string& method, const std::string& path) { return answer(method, path, {}); }

Response Site::history_answer(const std::string& path, const std::map<std::string, std::string>& query) {
    HistoryAnswer answer = path == "/history" ? history_->history(query, std::time(nullptr))
                                              : history_->events(query, std::time(nullptr));
    if (answer.status != 200) return text_response(answer.status, answer.body);
    Response r;
    r.content_type = "application/json";
    r.body = std::move(answer.body);
    return r;
}

Response Site::answer(const std::string& method, const std::string& path,
                      const std::map<std::string, std::string>& query) {
    Response r;
    if (method != "GET" && method != "HEAD") {
        r = text_response(405, "method not allowed: GET and HEAD only");
        r.headers["Allow"] = "GET, HEAD";
    } else if (history_ && (path == "/history" || path == "/events")) {
        r = history_answer(path, query);
    } else if (path != "/" && path != "/matrix.json" && path != "/dump.xml" && path != "/metrics") {
        r = text_response(404, "not found");
    } else {
        View view = watcher_.current();
        if (!view.snapshot) {
            r = text_response(503, "no good dump read yet: " + view.error.value_or(watcher_.path() + ": not read"));
            r.headers["Retry-After"] = "5";
        } else if (path == "/") {
            r = page(view);
        } else if (path == "/matrix.json") {
            r = matrix_json(view);
        } else if (path == "/metrics") {
            r = metrics(view);
        } else {
            r.content_type = "application/xml";
            r.snapshot = view.snapshot;
            r.snapshot_text = &view.snapshot->dump_text;
            r.headers["Content-Security-Policy"] = "default-src 'none'; frame-ancestors 'none'";
        }
    }
    r.headers["Cache-Control"] = "no-store";
    r.headers["X-Content-Type-Options"] = "nosniff";
    r.headers["Referrer-Policy"] = "no-referrer";
    if (r.headers.count("Content-Security-Policy") == 0)
        r.headers["Content-Security-Policy"] = "default-src 'none'; frame-ancestors 'none'";
    return r;
}

bool parse_listen(const std::string& text, std::string& address, unsigned short& port) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 == text.size()) return false;
    std::string host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    std::string digits = text.substr(colon + 1);
    if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
    unsigned long value = std::stoul(digits);
    if (value > 65535) return false;
    unsigned char buffer[sizeof(in6_addr)];
    if (inet_pton(AF_INET, host.c_str(), buffer) != 1 && inet_pton(AF_INET6, host.c_str(), buffer) != 1) return false;
    address = host;
    port = static_cast<unsigned short>(value);
    return true;
}

namespace {

// What a response sends, kept until MHD is done with it.
struct Payload {
    std::string body;
    std::shared_ptr<const Snapshot> snapshot;
    const std::string* text;  // body, or text inside the snapshot
};

ssize_t read_payload(void* context, uint64_t position, char* buffer, size_t max) {
    const std::string& text = *static_cast<Payload*>(context)->text;
    if (position >= text.size()) return MHD_CONTENT_READER_END_OF_STREAM;
    size_t n = std::min(max, text.size() - static_cast<size_t>(position));
    std::memcpy(buffer, text.data() + position, n);
    return static_cast<ssize_t>(n);
}

void free_payload(void* context) {
    auto* payload = static_cast<Payload*>(context);
    buffers.give(std::move(payload->body));
    delete payload;
}

MHD_Result add_argument(void* context, MHD_ValueKind, const char* key, const char* value) {
    auto& query = *static_cast<std::map<std::string, std::string>*>(context);
    if (query.size() < 32) query[key ? key : ""] = value ? value : "";
    return MHD_YES;
}

MHD_Result handle(void* context, MHD_Connection* connection, const char* url, const char* method, const char*,
                  const char*, size_t* upload_size, void** request_state) {
    // Answered at the first call: no request needs a body, and one that
    // comes with a body is answered without reading it.
    (void)request_state;
    *upload_size = 0;
    Site& site = *static_cast<Site*>(context);
    Response r;
    try {
        std::map<std::string, std::string> query;
        MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &add_argument, &query);
        r = site.answer(method, url, query);
    } catch (const std::exception&) {
        r.status = 500;
        r.body = "internal error\n";
    }
    auto* payload = new Payload{std::move(r.body), std::move(r.snapshot), nullptr};
    payload->text = r.snapshot_text ? r.snapshot_text : &payload->body;
    MHD_Response* response = MHD_create_response_from_callback(payload->text->size(), 256 * 1024, &read_payload,
                                                                payload, &free_payload);
    if (!response) {
        free_payload(payload);
        return MHD_NO;
    }
    MHD_add_response_header(response, "Content-Type", r.content_type.c_str());
    for (const auto& header : r.headers) MHD_add_response_header(response, header.first.c_str(), header.second.c_str());
    MHD_Result queued = MHD_queue_response(connection, r.status, response);
    MHD_destroy_response(response);
    return queued;
}

}  // namespace

Server::Server(const ServeOptions& options) : options_(options), site_(options) {
    if (options.history.empty()) return;
    HistoryOptions history;
    history.path = options.history;
    history.max_mb = options.history_max_mb;
    history.thresholds = options.thresholds;
    history_ = std::make_unique<History>(history);
    site_.set_history(history_.get());
}

Server::~Server() {
    if (daemon_) MHD_stop_daemon(daemon_);
}

void Server::record_history() {
    if (!history_) return;
    // The writer looks at the dump every second (or twice per dump interval
    // when that is shorter), so that a window is recorded soon after it
    // appears; it never waits for a reader.
    history_->start([this] { return site_.check(); }, std::min(1.0, options_.dump_interval_s.value_or(2) / 2));
}

std::string Server::start() {
    std::string host;
    unsigned short port = 0;
    if (!parse_listen(options_.listen, host, port))
        return "--listen wants ADDR:PORT (a numeric address, [ADDR]:PORT for IPv6), not \"" + options_.listen + "\"";
    sockaddr_storage storage{};
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO | MHD_USE_ERROR_LOG;
    if (host.find(':') != std::string::npos) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        inet_pton(AF_INET6, host.c_str(), &a->sin6_addr);
        flags |= MHD_USE_IPv6;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&storage);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        inet_pton(AF_INET, host.c_str(), &a->sin_addr);
    }
    daemon_ = MHD_start_daemon(flags, port, nullptr, nullptr, &handle, &site_,                        //
                               MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&storage),           //
                               MHD_OPTION_THREAD_POOL_SIZE, options_.threads,                         //
                               MHD_OPTION_CONNECTION_LIMIT, options_.connection_limit,                //
                               MHD_OPTION_PER_IP_CONNECTION_LIMIT, options_.per_ip_limit,             //
                               MHD_OPTION_CONNECTION_TIMEOUT, options_.timeout_s,                     //
                               MHD_OPTION_END);
    if (!daemon_) return "cannot listen on " + options_.listen + " (address in use or not local?)";
    return {};
}

unsigned short Server::port() const {
    if (!daemon_) return 0;
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
    return info ? info->port : 0;
}

}  // namespace view
