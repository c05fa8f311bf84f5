// The history's cost and size for a mesh of N beacons over D days (not part
// of the test command): serve's own recorder fed with synthetic dumps.
//
//   quillon_history_bench [BEACONS [DAYS [FULL_HOURS]]]   (defaults 50 30 6)
//
// Every cell (both channels of every ordered pair) publishes a window about
// every 24 s, each with new figures; one cell in 97 has an hour of 10 % loss
// in turn (two state changes).  Only the last FULL_HOURS are fed as serve
// reads a live mesh: a dump every 5 s, each with the windows of the last
// 5 s (a fifth of the cells).  The DAYS x 24 - FULL_HOURS hours before are
// fed sparsely, one dump read per hour (one window of every cell per hour,
// not 150): they fill the hourly tier, the events and the identities for
// the queries, but hold a 150th of the windows a real day holds.  The
// ingest cost is measured on the full-rate reads only, as wall time and as
// the writer's CPU time (the machine may be busy with other work).  Also
// printed: the file's size and what each kind of record takes, the size of
// a full steady state projected from that, and the query times.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "view/history.h"

using namespace view;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::time_t START = 1800000000;
constexpr int WINDOW_S = 24;
constexpr int DUMP_S = 5;

double ms_since(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

// The CPU time this thread used, in ms.
double cpu_ms() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

struct Costs {
    std::vector<double> ms;
    double mean() const {
        double sum = 0;
        for (double c : ms) sum += c;
        return ms.empty() ? 0 : sum / static_cast<double>(ms.size());
    }
    // The q-th fraction of the sorted costs.
    double at(double q) {
        std::sort(ms.begin(), ms.end());
        return ms.empty() ? 0 : ms[std::min(ms.size() - 1, static_cast<size_t>(q * static_cast<double>(ms.size())))];
    }
};

long long file_size(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

long long count(sqlite3* db, const char* table) {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, (std::string("SELECT count(*) FROM ") + table).c_str(), -1, &s, nullptr);
    long long n = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : 0;
    sqlite3_finalize(s);
    return n;
}

// Bytes a table and its indexes take (the dbstat table).
long long bytes(sqlite3* db, const char* table) {
    sqlite3_stmt* s = nullptr;
    std::string text = std::string("SELECT sum(pgsize) FROM dbstat WHERE name = '") + table +
                       "' OR name IN (SELECT name FROM sqlite_schema WHERE type = 'index' AND tbl_name = '" + table +
                       "')";
    sqlite3_prepare_v2(db, text.c_str(), -1, &s, nullptr);
    long long n = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : 0;
    sqlite3_finalize(s);
    return n;
}

struct Mesh {
    Snapshot snapshot;
    std::vector<int> phase;

    explicit Mesh(int n) {
        Model& m = snapshot.model;
        m.interval = 5;
        for (int i = 0; i < n; ++i) {
            Beacon b;
            b.address =
                "10." + std::to_string(i / 250) + "." + std::to_string(i % 250) + ".1/" + std::to_string(40000 + i);
            b.name = "beacon-" + std::to_string(i);
            m.beacons.push_back(b);
        }
        for (int r = 0; r < n; ++r)
            for (int s = 0; s < n; ++s)
                for (Channel c : {Channel::Asm, Channel::Ssm})
                    if (r != s) {
                        Measurement x;
                        x.receiver = r;
                        x.sender = s;
                        x.channel = c;
                        x.ttl = 3;
                        x.ooo = 0;
                        x.dup = 0;
                        m.measurements.push_back(x);
                        phase.push_back(std::rand() % WINDOW_S);
                    }
    }

    // The dump as it reads at t.
    const Snapshot& at(std::time_t t) {
        snapshot.modified = t;
        snapshot.model.written = t;
        for (size_t i = 0; i < phase.size(); ++i) {
            Measurement& x = snapshot.model.measurements[i];
            long long since = t - START + phase[i];
            long long window = since / WINDOW_S;
            bool lossy = ((t - START) / 3600 + static_cast<long long>(i)) % 97 == 0;
            x.age_s = since % WINDOW_S % DUMP_S;
            x.loss = lossy ? 10.0 : 0.0;
            x.delay = 20.0 + static_cast<double>(window % 50) * 0.013 + static_cast<double>(i % 40);
            x.jitter = 0.25 + static_cast<double>(window % 7) * 0.01;
        }
        return snapshot;
    }
};

}  // namespace

int main(int argc, char** argv) {
    int beacons = argc > 1 ? std::atoi(argv[1]) : 50;
    int days = argc > 2 ? std::atoi(argv[2]) : 30;
    int full_hours = argc > 3 ? std::atoi(argv[3]) : 6;
    std::string path = "/tmp/quillon-history-bench-" + std::to_string(getpid()) + ".db";
    Mesh mesh(beacons);
    std::printf(
        "%d beacons, %zu cells, every cell a window every %d s; %d days: the first %d h sparse (one dump read"
        " an hour), the last %d h at full rate (a dump read every %d s)\n",
        beacons, mesh.phase.size(), WINDOW_S, days, days * 24 - full_hours, full_hours, DUMP_S);
    {
        HistoryOptions options;
        options.path = path;
        History history(options);
        std::time_t end = START + static_cast<std::time_t>(days) * DAY_S;
        std::time_t full_from = end - full_hours * 3600;
        Clock::time_point began = Clock::now();
        double sparse_ms = 0;
        long sparse_reads = 0;
        for (std::time_t t = START; t < full_from; t += 3600, ++sparse_reads) {
            const Snapshot& s = mesh.at(t);
            Clock::time_point one = Clock::now();
            history.record(s, t);
            sparse_ms += ms_since(one);
        }
        Costs wall, cpu;
        for (std::time_t t = full_from; t < end; t += DUMP_S) {
            const Snapshot& s = mesh.at(t);
            Clock::time_point one = Clock::now();
            double cpu_one = cpu_ms();
            history.record(s, t);
            cpu.ms.push_back(cpu_ms() - cpu_one);
            wall.ms.push_back(ms_since(one));
        }
        std::printf("fed in %.0f s; sparse hourly reads (every cell a new window): %.1f ms each\n",
                    ms_since(began) / 1000, sparse_ms / std::max(1L, sparse_reads));
        std::printf(
            "ingest per full-rate dump read (%zu reads, about %zu new windows each; the hourly summary and"
            " pruning included):\n  wall mean %.2f ms, median %.2f, p99 %.2f, max %.2f\n"
            "  CPU  mean %.2f ms, median %.2f, p99 %.2f, max %.2f\n",
            wall.ms.size(), mesh.phase.size() * DUMP_S / WINDOW_S, wall.mean(), wall.at(0.5), wall.at(0.99), wall.at(1),
            cpu.mean(), cpu.at(0.5), cpu.at(0.99), cpu.at(1));

        // Queries as a request makes them.
        std::map<std::string, std::string> cell{{"receiver", "10.0.1.1"},
                                                {"sender", "10.0.2.1"},
                                                {"from", std::to_string(end - 90 * DAY_S)},
                                                {"to", std::to_string(end)}};
        std::map<std::string, std::string> day = cell;
        day["from"] = std::to_string(end - DAY_S);
        for (const auto& [what, query, events] :
             {std::make_tuple("a cell's 90 days (hourly)", cell, false),
              std::make_tuple("a cell's last day", day, false),
              std::make_tuple("the latest 100 events", std::map<std::string, std::string>{{"limit", "100"}}, true)}) {
            double best = 1e9, worst = 0;
            size_t size = 0;
            for (int i = 0; i < 5; ++i) {
                Clock::time_point q = Clock::now();
                HistoryAnswer a = events ? history.events(query, end) : history.history(query, end);
                double took = ms_since(q);
                best = std::min(best, took);
                worst = std::max(worst, took);
                size = a.body.size();
            }
            std::printf("query %-26s %.1f ms (worst of 5: %.1f), %zu bytes\n", what, best, worst, size);
        }
    }
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    long long windows = count(db, "sample"), hourly = count(db, "hourly"), events = count(db, "event");
    double per_window = static_cast<double>(bytes(db, "sample")) / std::max(1LL, windows);
    double per_hour = static_cast<double>(bytes(db, "hourly")) / std::max(1LL, hourly);
    double per_event = static_cast<double>(bytes(db, "event")) / std::max(1LL, events);
    std::printf(
        "file %.1f MB: %lld windows (%.1f B each with its index), %lld hourly rows (%.1f B), %lld events (%.1f B)\n",
        static_cast<double>(file_size(path)) / 1048576, windows, per_window, hourly, per_hour, events, per_event);
    // A full steady state: every cell's last 24 h of windows, the local
    // row's and column's week, 90 days of hours, 400 days of events.
    double cells = static_cast<double>(mesh.phase.size());
    double local_cells = 4.0 * (beacons - 1);
    double windows_per_hour = 3600.0 / WINDOW_S;
    double local_mb =
        (local_cells * 7 * 24 * windows_per_hour * per_window + local_cells * 90 * 24 * per_hour) / 1048576;
    double events_mb = static_cast<double>(events) / days * 400 * per_event / 1048576;
    double other_hour_mb = (cells - local_cells) * windows_per_hour * per_window / 1048576;
    double other_hourly_day_mb = (cells - local_cells) * 24 * per_hour / 1048576;
    double full = local_mb + events_mb + 24 * other_hour_mb + 90 * other_hourly_day_mb;
    std::printf(
        "projected steady state: %.0f MB (local cells %.0f, 400 d of events at this rate %.0f, every other"
        " cell's 24 h of windows %.0f, their 90 d of hours %.0f)\n",
        full, local_mb, events_mb, 24 * other_hour_mb, 90 * other_hourly_day_mb);
    // Pruning keeps the file under 90 % of the limit; other cells' oldest
    // figures go first.
    double room = 0.9 * 2048 - local_mb - events_mb;
    if (room >= 24 * other_hour_mb)
        std::printf("2048 MB hold it all but %.0f of the 90 days of other cells' hours\n",
                    std::max(0.0, 90 - (room - 24 * other_hour_mb) / other_hourly_day_mb));
    else
        std::printf("2048 MB hold the local cells, the events and %.1f h of every other cell's windows (no hours)\n",
                    std::max(0.0, room / other_hour_mb));
    sqlite3_close(db);
    unlink(path.c_str());
    unlink((path + "-wal").c_str());
    unlink((path + "-shm").c_str());
    return 0;
}
