#include "view/server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
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
    r.body.pieces.push_back(make_piece(line + "\n"));
    return r;
}

double seconds_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

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

std::shared_ptr<Site::Rendered> Site::rendered(const View& view) {
    std::lock_guard<std::mutex> lock(rendered_mutex_);
    if (!rendered_ || rendered_->snapshot != view.snapshot) {
        auto fresh = std::make_shared<Rendered>();
        fresh->snapshot = view.snapshot;
        fresh->dump = std::make_shared<const Piece>(view.snapshot, view.snapshot->dump_text);
        rendered_ = std::move(fresh);
    }
    return rendered_;
}

namespace {
// The model's JSON object without its closing brace; status follows.
std::string open_object(const std::string& json) {
    return !json.empty() && json.back() == '}' ? json.substr(0, json.size() - 1) : json;
}
std::string status_member(const Status& status) { return ",\"status\":" + json_text(status_json(status)) + "}"; }
}  // namespace

Response Site::page(const View& view, Rendered& shared) {
    std::call_once(shared.page_once,
                   [&] { shared.page_data = make_piece(script_safe(open_object(view.snapshot->model_json))); });
    std::string nonce = make_nonce();
    PageParts parts = page_parts(true, nonce);
    Response r;
    r.content_type = "text/html; charset=utf-8";
    r.body.pieces = {make_piece(std::move(parts.before)), shared.page_data,
                     make_piece(script_safe(status_member(status_of(view))) + parts.after)};
    r.headers["Content-Security-Policy"] = content_security_policy(nonce, true);
    return r;
}

Response Site::matrix_json(const View& view, Rendered& shared) {
    std::call_once(shared.json_once, [&] { shared.json = make_piece(open_object(view.snapshot->model_json)); });
    Response r;
    r.content_type = "application/json";
    r.body.pieces = {shared.json, make_piece(status_member(status_of(view)))};
    return r;
}

Response Site::metrics(const View& view, Rendered& shared) {
    MetricsInput input;
    input.model = &view.snapshot->model;
    input.pairs = &view.snapshot->pairs;
    input.clock_suspects = &view.snapshot->clock_suspects;
    input.all = options_.all;
    input.version = QUILLON_VIEW_VERSION;
    std::call_once(shared.metrics_once, [&] {
        input.read_state = false;
        shared.metrics = make_piece(render_metrics(input));
    });
    Status status = status_of(view);
    input.dump_interval_s = status.dump_interval_s;
    input.dump_overdue_after_s = status.dump_overdue_after_s();
    input.read_errors = view.read_errors;
    std::string tail;
    render_read_metrics(input, tail);
    Response r;
    r.content_type = "text/plain; version=0.0.4";  // the format is UTF-8 by definition
    r.body.pieces = {shared.metrics, make_piece(std::move(tail))};
    return r;
}

Response Site::dump_xml(const View&, Rendered& shared) {
    Response r;
    r.content_type = "application/xml";
    r.body.pieces = {shared.dump};
    return r;
}

Response Site::answer(const std::string& method, const std::string& path) { return answer(method, path, {}); }

Response Site::history_answer(const std::string& path, const std::map<std::string, std::string>& query) {
    HistoryAnswer answer = path == "/history" ? history_->history(query, std::time(nullptr))
                                              : history_->events(query, std::time(nullptr));
    if (answer.status != 200) return text_response(answer.status, answer.body);
    Response r;
    r.content_type = "application/json";
    r.body.pieces.push_back(make_piece(std::move(answer.body)));
    return r;
}

Response Site::answer(const std::string& method, const std::string& path,
                      const std::map<std::string, std::string>& query) {
    using Render = Response (Site::*)(const View&, Rendered&);
    static const std::map<std::string, Render> routes = {
        {"/", &Site::page},
        {"/matrix.json", &Site::matrix_json},
        {"/dump.xml", &Site::dump_xml},
        {"/metrics", &Site::metrics},
    };
    Response r;
    auto route = routes.find(path);
    if (method != "GET" && method != "HEAD") {
        r = text_response(405, "method not allowed: GET and HEAD only");
        r.headers["Allow"] = "GET, HEAD";
    } else if (history_ && (path == "/history" || path == "/events")) {
        r = history_answer(path, query);
    } else if (route == routes.end()) {
        r = text_response(404, "not found");
    } else {
        View view = watcher_.current();
        if (!view.snapshot) {
            r = text_response(503, "no good dump read yet: " + view.error.value_or(watcher_.path() + ": not read"));
            r.headers["Retry-After"] = "5";
        } else {
            r = (this->*route->second)(view, *rendered(view));
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
    Body body;
    std::string header, trailer;  // of the gzip stream
    std::vector<Range> ranges;
    size_t size = 0;
    size_t range = 0, range_start = 0;  // where the last read ended
    Server* large_slot = nullptr;       // given back when done
};

ssize_t read_payload(void* context, uint64_t position, char* buffer, size_t max) {
    auto& p = *static_cast<Payload*>(context);
    if (position >= p.size) return MHD_CONTENT_READER_END_OF_STREAM;
    if (position < p.range_start) p.range = 0, p.range_start = 0;
    while (p.range < p.ranges.size() && position >= p.range_start + p.ranges[p.range].size)
        p.range_start += p.ranges[p.range++].size;
    size_t written = 0;
    size_t at = static_cast<size_t>(position) - p.range_start;
    for (size_t i = p.range; i < p.ranges.size() && written < max; ++i, at = 0) {
        size_t n = std::min(max - written, p.ranges[i].size - at);
        std::memcpy(buffer + written, p.ranges[i].data + at, n);
        written += n;
    }
    return static_cast<ssize_t>(written);
}

void free_payload(void* context) {
    auto* payload = static_cast<Payload*>(context);
    if (payload->large_slot) payload->large_slot->give_large_slot();
    delete payload;
}

// Bodies below this are sent as they are.
constexpr size_t COMPRESS_FROM = 1024;

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
    Server& server = *static_cast<Server*>(context);
    Response r;
    auto payload = std::make_unique<Payload>();
    try {
        std::map<std::string, std::string> query;
        MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &add_argument, &query);
        r = server.site().answer(method, url, query);
        if (r.body.size() >= LARGE_BODY) {
            if (server.take_large_slot()) {
                payload->large_slot = &server;
            } else {
                r = Response{};
                r.status = 503;
                r.body.pieces.push_back(make_piece("busy: too many large responses in flight; try again\n"));
                r.headers["Retry-After"] = "1";
            }
        }
        const char* accept = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Accept-Encoding");
        if (r.body.size() >= COMPRESS_FROM) {
            r.headers["Vary"] = "Accept-Encoding";
            if (accepts_gzip(accept)) {
                payload->ranges = gzip_ranges(r.body, payload->header, payload->trailer);
                r.headers["Content-Encoding"] = "gzip";
            }
        }
    } catch (...) {
        // Out of memory, mostly: this request fails, the server goes on.
        if (payload->large_slot) server.give_large_slot();
        payload = std::make_unique<Payload>();
        r = text_response(500, "internal error");
    }
    payload->body = std::move(r.body);
    if (payload->ranges.empty()) payload->ranges = plain_ranges(payload->body);
    for (const Range& range : payload->ranges) payload->size += range.size;
    Payload* raw = payload.release();
    MHD_Response* response = MHD_create_response_from_callback(raw->size, 256 * 1024, &read_payload, raw,
                                                                &free_payload);
    if (!response) {
        free_payload(raw);
        return MHD_NO;
    }
    MHD_add_response_header(response, "Content-Type", r.content_type.c_str());
    for (const auto& header : r.headers) MHD_add_response_header(response, header.first.c_str(), header.second.c_str());
    // One request per connection: its deadline runs from the accept.
    MHD_add_response_header(response, "Connection", "close");
    MHD_Result queued = MHD_queue_response(connection, r.status, response);
    MHD_destroy_response(response);
    return queued;
}

std::string address_key(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = "?";
    if (address->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    } else if (address->sa_family == AF_INET6) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
        // An IPv4 client of a dual-stack socket counts as its IPv4 address.
        if (IN6_IS_ADDR_V4MAPPED(&a))
            inet_ntop(AF_INET, a.s6_addr + 12, text, sizeof text);
        else
            inet_ntop(AF_INET6, &a, text, sizeof text);
    }
    return text;
}

MHD_Result accept_policy(void* context, const sockaddr* address, socklen_t) {
    return static_cast<Server*>(context)->admit(address) ? MHD_YES : MHD_NO;
}

void notify_connection(void* context, MHD_Connection* connection, void** socket_context,
                       MHD_ConnectionNotificationCode code) {
    auto* server = static_cast<Server*>(context);
    if (code == MHD_CONNECTION_NOTIFY_STARTED)
        server->opened(connection, socket_context);
    else
        server->closed(connection, socket_context);
}

void log_mhd(void* context, const char* format, va_list arguments) {
    char line[512];
    std::vsnprintf(line, sizeof line, format, arguments);
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    const auto& log = *static_cast<std::function<void(const std::string&)>*>(context);
    if (log)
        log(text);
    else
        std::fprintf(stderr, "quillon-view: %s\n", text.c_str());
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
    if (reaper_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(reaper_mutex_);
            stopping_ = true;
        }
        reaper_wake_.notify_all();
        reaper_.join();
    }
    if (!daemon_ && listen_fd_ >= 0) close(listen_fd_);
}

bool Server::admit(const sockaddr* address) {
    std::string key = address_key(address);
    std::lock_guard<std::mutex> lock(connections_mutex_);
    auto held = per_address_.find(key);
    unsigned mine = held == per_address_.end() ? 0 : held->second;
    if (mine >= options_.per_address_limit) return false;
    size_t free = options_.connection_limit > open_.size() ? options_.connection_limit - open_.size() : 0;
    // The last slots are kept for addresses that hold none: a crowd from a
    // few addresses cannot lock everyone else out.
    return free > 0 && (mine == 0 || free > options_.reserved);
}

void Server::opened(MHD_Connection* connection, void**) {
    const MHD_ConnectionInfo* fd = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    const MHD_ConnectionInfo* peer = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    Open entry{fd ? fd->connect_fd : -1, peer ? address_key(peer->client_addr) : "?",
               seconds_now() + options_.request_deadline_s};
    std::lock_guard<std::mutex> lock(connections_mutex_);
    ++per_address_[entry.address];
    open_[connection] = std::move(entry);
}

void Server::closed(MHD_Connection* connection, void**) {
    // Called before MHD closes the socket, so the reaper never shuts down
    // a descriptor that has been reused.
    std::lock_guard<std::mutex> lock(connections_mutex_);
    auto found = open_.find(connection);
    if (found == open_.end()) return;
    auto held = per_address_.find(found->second.address);
    if (held != per_address_.end() && --held->second == 0) per_address_.erase(held);
    open_.erase(found);
}

bool Server::take_large_slot() {
    unsigned now = large_.load();
    do {
        if (now >= options_.large_in_flight) return false;
    } while (!large_.compare_exchange_weak(now, now + 1));
    return true;
}

void Server::give_large_slot() { --large_; }

// Ends connections past their deadline, however active they are: a client
// that sends a header line or reads a byte every few seconds holds a slot no
// longer than one that sends nothing.
void Server::reap() {
    std::unique_lock<std::mutex> wait(reaper_mutex_);
    while (!stopping_) {
        reaper_wake_.wait_for(wait, std::chrono::milliseconds(100));
        double now = seconds_now();
        std::lock_guard<std::mutex> lock(connections_mutex_);
        for (auto& entry : open_) {
            if (entry.second.fd < 0 || now < entry.second.deadline) continue;
            shutdown(entry.second.fd, SHUT_RDWR);
            entry.second.deadline = now + 3600;  // once is enough; MHD closes it
        }
    }
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
    socklen_t length = 0;
    bool v6 = host.find(':') != std::string::npos;
    if (v6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        inet_pton(AF_INET6, host.c_str(), &a->sin6_addr);
        length = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&storage);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        inet_pton(AF_INET, host.c_str(), &a->sin_addr);
        length = sizeof *a;
    }
    // The socket is bound here rather than by MHD, so that a failure names
    // the address and the reason.
    listen_fd_ = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0) return "cannot listen on " + options_.listen + ": " + std::strerror(errno);
    int on = 1, off = 0;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // [::] takes IPv4 clients too, as mapped addresses.
    if (v6) setsockopt(listen_fd_, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&storage), length) != 0 || listen(listen_fd_, 128) != 0) {
        std::string error = "cannot listen on " + options_.listen + ": " + std::strerror(errno);
        close(listen_fd_);
        listen_fd_ = -1;
        return error;
    }
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO | MHD_USE_ERROR_LOG;
    if (v6) flags |= MHD_USE_IPv6;
    daemon_ = MHD_start_daemon(flags, port, &accept_policy, this, &handle, this,                     //
                               MHD_OPTION_EXTERNAL_LOGGER, &log_mhd, &options_.log,                   //
                               MHD_OPTION_LISTEN_SOCKET, listen_fd_,                                  //
                               MHD_OPTION_THREAD_POOL_SIZE, options_.threads,                         //
                               // Each thread takes its share of MHD's limit; admit()
                               // holds the whole server to connection_limit.
                               MHD_OPTION_CONNECTION_LIMIT, options_.connection_limit * options_.threads,  //
                               MHD_OPTION_PER_IP_CONNECTION_LIMIT, options_.per_address_limit,        //
                               MHD_OPTION_CONNECTION_TIMEOUT,                                         //
                               static_cast<unsigned>(options_.request_deadline_s + 0.999),            //
                               MHD_OPTION_NOTIFY_CONNECTION, &notify_connection, this,                //
                               MHD_OPTION_END);
    if (!daemon_) return "cannot serve on " + options_.listen + ": the HTTP server did not start";
    reaper_ = std::thread([this] { reap(); });
    return {};
}

unsigned short Server::port() const {
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (listen_fd_ < 0 || getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&bound), &length) != 0) return 0;
    if (bound.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
}

}  // namespace view
