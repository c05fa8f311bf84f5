// serve's history: what the dump showed over time, in an SQLite database
// that one writer thread fills while requests read it.  The page, /metrics
// and /matrix.json never touch it; /history and /events read it through
// their own connections (in WAL mode a reader never waits for the writer).
#pragma once

#include <atomic>
#include <condition_variable>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "view/history_track.h"
#include "view/watcher.h"

struct sqlite3;

namespace view {

struct HistoryOptions {
    std::string path = ":memory:";  // the database file, or memory for the life of the process
    double max_mb = 2048;           // the size that pruning keeps the file under
    Thresholds thresholds;
};

// How long each kind of record is kept.
constexpr std::time_t DAY_S = 86400;
constexpr std::time_t EVENTS_KEEP_S = 400 * DAY_S;
constexpr std::time_t WINDOWS_KEEP_S = DAY_S;            // every cell at full resolution
constexpr std::time_t LOCAL_WINDOWS_KEEP_S = 7 * DAY_S;  // the local beacon's row and column
constexpr std::time_t HOURLY_KEEP_S = 90 * DAY_S;

// A history in memory keeps under this size whatever the limit says.
constexpr double MEMORY_MAX_MB = 256;

struct HistoryAnswer {
    unsigned status = 200;
    std::string body;  // JSON, or the one-line reason of a 400/503
};

class History {
public:
    explicit History(HistoryOptions options);
    ~History();
    History(const History&) = delete;
    History& operator=(const History&) = delete;

    // Starts the writer: every tick_s it looks at the view source gives and
    // records what is new.  Until then nothing is recorded on its own.
    void start(std::function<View()> source, double tick_s);
    // One look at a snapshot at time now, then the pruning that is due: what
    // the writer does at each tick (tests call it directly).
    // same_snapshot: the snapshot of the last call.
    void record(const Snapshot& snapshot, std::time_t now, bool same_snapshot = false);
    // Hourly summaries of the hours that ended and pruning, as of now.
    void maintain(std::time_t now);

    // /history and /events with their query parameters.
    HistoryAnswer history(const std::map<std::string, std::string>& query, std::time_t now);
    HistoryAnswer events(const std::map<std::string, std::string>& query, std::time_t now);

    // Bytes in use in the database (pages not free).
    long long used_bytes();
    // Whether the last write succeeded.
    bool recording() const { return recording_; }

private:
    bool open();
    bool check_and_prepare(std::string& reason, bool& not_ours);
    void move_aside(const std::string& reason);
    bool write(const Records& records);
    bool handle_failure(int code, const std::string& what);
    void resume_tracker();
    HistoryAnswer with_reader(const std::function<HistoryAnswer(sqlite3*)>& body);
    // A read connection from the pool, and its return.
    sqlite3* reader(unsigned& generation);
    void give_back(sqlite3* db, unsigned generation);
    // The cell's id, made if new (time: of the record that names it).
    long long cell_id(const CellKey& key, uint64_t ref, std::time_t time);
    void run();

    HistoryOptions options_;
    std::string uri_;
    HistoryTracker tracker_;
    sqlite3* db_ = nullptr;  // the writer's connection
    bool opened_ = false;
    bool stopped_ = false;  // a full disk stopped recording
    std::atomic<bool> recording_{false};
    static constexpr std::time_t RETRY_S = 5;
    std::time_t retry_at_ = 0;  // while stopped, no write before this
    // The cells' ids in the database by the tracker's numbers for them.
    std::unordered_map<uint64_t, long long> cell_ids_;
    unsigned long cell_ids_epoch_ = 0;
    std::time_t hourly_until_ = 0;  // hours before this are summarised
    std::time_t last_maintained_ = 0;
    std::time_t cells_pruned_hour_ = 0;
    std::atomic<double> interval_s_{5};

    std::mutex readers_mutex_;
    std::vector<sqlite3*> readers_;
    unsigned generation_ = 0;  // a file moved aside makes readers of the old one useless

    std::function<View()> source_;
    double tick_s_ = 1;
    std::thread thread_;
    std::mutex stop_mutex_;
    std::condition_variable stop_signal_;
    bool stopping_ = false;
};

}  // namespace view
