#include "view/history.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <unordered_set>

#include "view/history_sql.h"

namespace view {

namespace {

// The layout.  Windows are kept by minute, then cell (m = t / 60, s = t %
// 60): a dump read's windows land in the few pages of the present minute
// instead of one page per cell, pruning deletes whole minutes from the
// front, and a cell's day is 1440 short look-ups.  Hourly rows likewise by
// hour (the hour's number), then cell.  The local beacon's cells sort apart
// (local = 1) so that they can be kept longer.  A cell's seen is at most a
// day before its last figure; a cell with no figure and no event left goes.
// "QVH1": a file with another application id is not ours to write.
constexpr int APPLICATION_ID = 0x51564831;
constexpr int SCHEMA_VERSION = 1;

const char* const SCHEMA = R"(
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value INTEGER) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS cell(id INTEGER PRIMARY KEY, receiver TEXT NOT NULL, sender TEXT NOT NULL,
    channel INTEGER NOT NULL, seen INTEGER NOT NULL DEFAULT 0, UNIQUE(receiver, sender, channel));
CREATE TABLE IF NOT EXISTS sample(local INTEGER NOT NULL, m INTEGER NOT NULL, cell INTEGER NOT NULL,
    s INTEGER NOT NULL, loss INTEGER, delay INTEGER, jitter INTEGER, ooo INTEGER, dup INTEGER, ttl INTEGER,
    PRIMARY KEY(local, m, cell, s)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS hourly(local INTEGER NOT NULL, hour INTEGER NOT NULL, cell INTEGER NOT NULL,
    n INTEGER NOT NULL, loss_min INTEGER, loss_mean INTEGER, loss_max INTEGER, delay_min INTEGER,
    delay_mean INTEGER, delay_max INTEGER, jitter_min INTEGER, jitter_mean INTEGER, jitter_max INTEGER,
    PRIMARY KEY(local, hour, cell)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS event(id INTEGER PRIMARY KEY, t INTEGER NOT NULL, cell INTEGER NOT NULL,
    state INTEGER NOT NULL, previous INTEGER, loss INTEGER, delay INTEGER, jitter INTEGER, ooo INTEGER,
    dup INTEGER, ttl INTEGER);
CREATE INDEX IF NOT EXISTS event_time ON event(t);
CREATE INDEX IF NOT EXISTS event_cell ON event(cell, t);
CREATE TABLE IF NOT EXISTS identity(beacon TEXT NOT NULL, t INTEGER NOT NULL, name TEXT, contact TEXT,
    country TEXT, flags TEXT, PRIMARY KEY(beacon, t)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS identity_time ON identity(t);
)";

void log_line(const std::string& line) { std::fprintf(stderr, "quillon-view: history: %s\n", line.c_str()); }

std::string utc_suffix(std::time_t now) {
    char text[32];
    std::tm tm{};
    gmtime_r(&now, &tm);
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &tm);
    return text;
}

bool exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

using Clock = std::chrono::steady_clock;

}  // namespace

History::History(HistoryOptions options) : options_(std::move(options)), tracker_(options_.thresholds) {
    if (options_.path == ":memory:") {
        // Named so that the readers' connections share it with the writer's.
        char name[64];
        std::snprintf(name, sizeof name, "file:/quillon-history-%p?vfs=memdb", static_cast<void*>(this));
        uri_ = name;
        // Memory is the process's own: a history there holds some days.
        options_.max_mb = std::min(options_.max_mb, MEMORY_MAX_MB);
    } else {
        uri_ = options_.path;
    }
}

History::~History() {
    {
        std::lock_guard<std::mutex> lock(stop_mutex_);
        stopping_ = true;
    }
    stop_signal_.notify_all();
    if (thread_.joinable()) thread_.join();
    std::lock_guard<std::mutex> lock(readers_mutex_);
    for (sqlite3* db : readers_) sqlite3_close(db);
    readers_.clear();
    if (db_) sqlite3_close(db_);
}

bool History::open() {
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX;
    std::string reason;
    for (int attempt = 0; attempt < 2; ++attempt) {
        bool not_ours = false;
        if (sqlite3_open_v2(uri_.c_str(), &db_, flags, nullptr) == SQLITE_OK && check_and_prepare(reason, not_ours)) {
            resume_tracker();
            recording_ = true;
            return true;
        }
        if (reason.empty()) reason = db_ ? sqlite3_errmsg(db_) : "cannot open it";
        sqlite3_close(db_);
        db_ = nullptr;
        if (attempt == 0 && not_ours && options_.path != ":memory:" && exists(options_.path)) {
            move_aside(reason);
            reason.clear();
            continue;
        }
        break;
    }
    log_line(options_.path + ": " + reason + "; not recording (serving goes on)");
    return false;
}

// Whether the file is ours (or new) and sound enough to open; prepares it.
bool History::check_and_prepare(std::string& reason, bool& not_ours) {
    long long application = 0, tables = 0;
    {
        sql::Statement id(db_, "PRAGMA application_id");
        sql::Statement count(db_, "SELECT count(*) FROM sqlite_schema");
        if (!id.step() || !count.step()) {
            reason = "not a database (" + id.error() + ")";
            not_ours = true;
            return false;
        }
        application = id.integer(0);
        tables = count.integer(0);
    }
    if (application != APPLICATION_ID && tables != 0) {
        reason = "not a quillon-view history (another program's database)";
        not_ours = true;
        return false;
    }
    sql::exec(db_, "PRAGMA busy_timeout = 5000");
    if (options_.path != ":memory:") {
        sql::Statement wal(db_, "PRAGMA journal_mode = WAL");
        if (!wal.step() || wal.text(0) != "wal") {
            reason = "cannot use a write-ahead log: " + wal.error();
            return false;
        }
        wal.reset();
    }
    sql::exec(db_, "PRAGMA synchronous = NORMAL");
    sql::exec(db_, "PRAGMA journal_size_limit = 67108864");
    std::string schema = std::string("BEGIN;") + SCHEMA + "PRAGMA application_id = " + std::to_string(APPLICATION_ID) +
                         "; PRAGMA user_version = " + std::to_string(SCHEMA_VERSION) + "; COMMIT;";
    if (sql::exec(db_, schema.c_str()) != SQLITE_OK) {
        reason = sqlite3_errmsg(db_);
        sql::exec(db_, "ROLLBACK");
        return false;
    }
    return true;
}

// A file that is not ours, or damaged, is kept for whoever wants it, under
// a name with the time, and never written over.
void History::move_aside(const std::string& reason) {
    std::string aside = options_.path + "." + utc_suffix(std::time(nullptr));
    for (int n = 1; exists(aside); ++n)
        aside = options_.path + "." + utc_suffix(std::time(nullptr)) + "-" + std::to_string(n);
    if (std::rename(options_.path.c_str(), aside.c_str()) != 0) {
        log_line(options_.path + ": " + reason + "; cannot move it aside: " + std::strerror(errno));
        return;
    }
    // Its log goes with it; a log left behind would be replayed into the new file.
    std::rename((options_.path + "-wal").c_str(), (aside + "-wal").c_str());
    std::remove((options_.path + "-shm").c_str());
    log_line(options_.path + ": " + reason + "; moved it to " + aside + " and started a new one");
    std::lock_guard<std::mutex> lock(readers_mutex_);
    for (sqlite3* db : readers_) sqlite3_close(db);
    readers_.clear();
    ++generation_;
}

void History::resume_tracker() {
    cell_ids_.clear();
    cell_ids_epoch_ = tracker_.ref_epoch();
    // The last window of every cell heard in the last hour recorded: a
    // window already recorded is not recorded again.
    std::map<long long, std::time_t> last_windows;
    sql::Statement recent(db_,
                          "SELECT cell, max(m * 60 + s) FROM sample WHERE local IN (0, 1) AND m >= (SELECT max(m) FROM"
                          " sample) - 60 GROUP BY cell");
    while (recent.step()) last_windows[recent.integer(0)] = static_cast<std::time_t>(recent.integer(1));
    sql::Statement cells(db_,
                         "SELECT id, receiver, sender, channel,"
                         " (SELECT state FROM event WHERE cell = cell.id ORDER BY t DESC, id DESC LIMIT 1) FROM cell");
    while (cells.step()) {
        CellKey key{cells.text(1), cells.text(2), cells.integer(3) ? Channel::Ssm : Channel::Asm};
        cell_ids_[tracker_.ref(key)] = cells.integer(0);
        std::optional<std::time_t> last_sample;
        auto last = last_windows.find(cells.integer(0));
        if (last != last_windows.end()) last_sample = last->second;
        std::optional<CellState> state;
        if (!cells.null(4) && cells.integer(4) >= 0 && cells.integer(4) < CELL_STATE_COUNT)
            state = static_cast<CellState>(cells.integer(4));
        tracker_.resume(key, last_sample, state);
    }
    sql::Statement identities(db_,
                              "SELECT beacon, t, name, contact, country, flags FROM identity i"
                              " WHERE t = (SELECT max(t) FROM identity WHERE beacon = i.beacon)");
    while (identities.step())
        tracker_.resume(Identity{identities.text(0), static_cast<std::time_t>(identities.integer(1)),
                                 identities.text(2), identities.text(3), identities.text(4), identities.text(5)});
    sql::Statement until(db_, "SELECT value FROM meta WHERE key = 'hourly_until'");
    hourly_until_ = until.step() ? static_cast<std::time_t>(until.integer(0)) : 0;
}

long long History::cell_id(const CellKey& key, uint64_t ref, std::time_t time) {
    auto found = cell_ids_.find(ref);
    if (found != cell_ids_.end()) return found->second;
    sql::Statement insert(db_, "INSERT OR IGNORE INTO cell(receiver, sender, channel, seen) VALUES (?, ?, ?, ?)");
    insert.bind(1, key.receiver).bind(2, key.sender).bind(3, key.channel == Channel::Ssm ? 1LL : 0LL);
    insert.bind(4, static_cast<long long>(time)).run();
    sql::Statement select(db_, "SELECT id FROM cell WHERE receiver = ? AND sender = ? AND channel = ?");
    select.bind(1, key.receiver).bind(2, key.sender).bind(3, key.channel == Channel::Ssm ? 1LL : 0LL);
    if (!select.step()) return -1;
    // Cells are few (a 150-beacon mesh has 45 000); the map is dropped if a
    // churning network ever makes it large.
    if (cell_ids_.size() > 500000) cell_ids_.clear();
    return cell_ids_[ref] = select.integer(0);
}

void History::record(const Snapshot& snapshot, std::time_t now, bool same_snapshot) {
    // Opened by the writer, so that a large file's start-up delays no request.
    if (!opened_) {
        opened_ = true;
        open();
    }
    if (!db_) return;
    interval_s_ = snapshot.model.interval;
    Records records = tracker_.observe(snapshot.model, now, same_snapshot);
    if (tracker_.ref_epoch() != cell_ids_epoch_) {
        cell_ids_.clear();
        cell_ids_epoch_ = tracker_.ref_epoch();
    }
    // After a failed write the disk is left alone for a while: what it
    // would have recorded meanwhile is lost, nothing else.
    if (!records.empty() && (!stopped_ || now >= retry_at_) && !write(records)) retry_at_ = now + RETRY_S;
    if (now - last_maintained_ >= 60) maintain(now);
}

// One transaction per look at the dump: after a kill the file holds every
// look that completed, and nothing of the one that did not.
bool History::write(const Records& records) {
    if (sql::exec(db_, "BEGIN IMMEDIATE") != SQLITE_OK) return handle_failure(sqlite3_errcode(db_), "begin");
    using sql::FIGURE_SCALE;
    using sql::LOSS_SCALE;
    using sql::scaled;
    // Windows go in by rows of BATCH (a statement's own cost shared by
    // many rows), the rest one by one.
    constexpr size_t BATCH = 32;
    constexpr int COLUMNS = 10;
    const std::string insert =
        "INSERT OR IGNORE INTO sample(local, m, cell, s, loss, delay, jitter, ooo, dup, ttl) VALUES ";
    const std::string row = "(?,?,?,?,?,?,?,?,?,?)";
    std::string rows = row;
    for (size_t i = 1; i < BATCH; ++i) rows += "," + row;
    sql::Statement batch(db_, (insert + rows).c_str());
    sql::Statement single(db_, (insert + row).c_str());
    auto bind_sample = [&](sql::Statement& statement, int at, const Sample& x) {
        long long t = static_cast<long long>(x.time);
        statement.bind(at + 1, x.local ? 1LL : 0LL).bind(at + 2, t / 60).bind(at + 3, cell_id(x.cell, x.ref, x.time));
        statement.bind(at + 4, t % 60).bind(at + 5, scaled(x.figures.loss, LOSS_SCALE));
        statement.bind(at + 6, scaled(x.figures.delay, FIGURE_SCALE))
            .bind(at + 7, scaled(x.figures.jitter, FIGURE_SCALE));
        statement.bind(at + 8, scaled(x.figures.ooo, FIGURE_SCALE)).bind(at + 9, scaled(x.figures.dup, FIGURE_SCALE));
        statement.bind(at + 10, x.figures.ttl ? std::optional<long long>(*x.figures.ttl) : std::nullopt);
    };
    bool ok = batch.ok() && single.ok();
    const std::vector<Sample>& samples = records.samples;
    size_t done = 0;
    for (; ok && samples.size() - done >= BATCH; done += BATCH) {
        for (size_t j = 0; j < BATCH; ++j) bind_sample(batch, static_cast<int>(j) * COLUMNS, samples[done + j]);
        ok = batch.run();
        batch.reset();
    }
    for (; ok && done < samples.size(); ++done) {
        bind_sample(single, 0, samples[done]);
        ok = single.run();
        single.reset();
    }
    sql::Statement event(db_,
                         "INSERT INTO event(t, cell, state, previous, loss, delay, jitter, ooo, dup, ttl)"
                         " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    ok = ok && event.ok();
    for (const StateChange& c : records.changes) {
        if (!ok) break;
        event.bind(1, static_cast<long long>(c.time))
            .bind(2, cell_id(c.cell, c.ref, c.time))
            .bind(3, static_cast<long long>(c.state));
        event.bind(4, c.previous ? std::optional<long long>(static_cast<long long>(*c.previous)) : std::nullopt);
        if (c.figures) {
            event.bind(5, scaled(c.figures->loss, LOSS_SCALE)).bind(6, scaled(c.figures->delay, FIGURE_SCALE));
            event.bind(7, scaled(c.figures->jitter, FIGURE_SCALE)).bind(8, scaled(c.figures->ooo, FIGURE_SCALE));
            event.bind(9, scaled(c.figures->dup, FIGURE_SCALE));
            event.bind(10, c.figures->ttl ? std::optional<long long>(*c.figures->ttl) : std::nullopt);
        }
        ok = event.run();
        event.reset();
    }
    sql::Statement identity(db_,
                            "INSERT OR REPLACE INTO identity(beacon, t, name, contact, country, flags)"
                            " VALUES (?, ?, ?, ?, ?, ?)");
    ok = ok && identity.ok();
    for (const Identity& i : records.identities) {
        if (!ok) break;
        identity.bind(1, i.beacon).bind(2, static_cast<long long>(i.time)).bind(3, i.name).bind(4, i.contact);
        ok = identity.bind(5, i.country).bind(6, i.flags).run();
        identity.reset();
    }
    int code = sqlite3_errcode(db_);
    if (!ok || sql::exec(db_, "COMMIT") != SQLITE_OK) {
        code = ok ? sqlite3_errcode(db_) : code;
        sql::exec(db_, "ROLLBACK");
        cell_ids_.clear();  // ids made in the transaction are gone with it
        return handle_failure(code, "recording");
    }
    if (stopped_) log_line(options_.path + ": recording again");
    stopped_ = false;
    recording_ = true;
    return true;
}

// A full disk (or any other failing write) stops recording with one line;
// the next write that succeeds says so.  A damaged file is moved aside.
bool History::handle_failure(int code, const std::string& what) {
    int primary = code & 0xFF;
    if (primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB) {
        std::string reason = "damaged (" + std::string(sqlite3_errstr(code)) + " while " + what + ")";
        sqlite3_close(db_);
        db_ = nullptr;
        recording_ = false;
        if (options_.path != ":memory:") move_aside(reason);
        tracker_ = HistoryTracker(options_.thresholds);
        open();
        return false;
    }
    if (!stopped_) {
        std::string why = primary == SQLITE_FULL ? "disk full" : std::string(sqlite3_errstr(code));
        log_line(options_.path + ": " + why + " while " + what + "; recording stopped (serving goes on)");
    }
    stopped_ = true;
    recording_ = false;
    return false;
}

long long History::used_bytes() {
    if (!db_) return 0;
    sql::Statement pages(db_,
                         "SELECT (SELECT page_count FROM pragma_page_count) - (SELECT freelist_count FROM"
                         " pragma_freelist_count), (SELECT page_size FROM pragma_page_size)");
    return pages.step() ? pages.integer(0) * pages.integer(1) : 0;
}

void History::maintain(std::time_t now) {
    if (!db_) return;
    last_maintained_ = now;
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(2);

    // Hourly summaries of every hour that ended (with a margin for windows
    // published late), from the windows still at full resolution.
    std::time_t end = (now - 120) / 3600 * 3600;
    std::time_t begin = std::max(hourly_until_, end - LOCAL_WINDOWS_KEEP_S);
    if (begin < end) {
        sql::exec(db_, "BEGIN IMMEDIATE");
        sql::Statement summary(db_,
                               "INSERT OR REPLACE INTO hourly SELECT local, ?1, cell, count(*),"
                               " min(loss), CAST(round(avg(loss)) AS INTEGER), max(loss),"
                               " min(delay), CAST(round(avg(delay)) AS INTEGER), max(delay),"
                               " min(jitter), CAST(round(avg(jitter)) AS INTEGER), max(jitter)"
                               " FROM sample WHERE local IN (0, 1) AND m >= ?1 * 60 AND m < ?1 * 60 + 60"
                               " GROUP BY local, cell");
        // A cell's seen follows its hours a day at a time (one write a
        // day per cell, not one an hour).
        sql::Statement seen(db_,
                            "UPDATE cell SET seen = ?2 WHERE seen < ?2 - 86400 AND id IN"
                            " (SELECT cell FROM hourly WHERE local IN (0, 1) AND hour = ?1)");
        bool ok = summary.ok() && seen.ok();
        for (std::time_t hour = begin / 3600 * 3600; ok && hour < end; hour += 3600) {
            ok = summary.bind(1, static_cast<long long>(hour / 3600)).run();
            summary.reset();
            ok = ok &&
                 seen.bind(1, static_cast<long long>(hour / 3600)).bind(2, static_cast<long long>(hour + 3600)).run();
            seen.reset();
        }
        sql::Statement mark(db_, "INSERT OR REPLACE INTO meta(key, value) VALUES ('hourly_until', ?)");
        ok = ok && mark.bind(1, static_cast<long long>(end)).run();
        if (!ok || sql::exec(db_, "COMMIT") != SQLITE_OK) {
            handle_failure(sqlite3_errcode(db_), "summarising hours");
            sql::exec(db_, "ROLLBACK");
            return;
        }
        hourly_until_ = end;
    }

    // Pruning, oldest first, a minute (an hour, a day) of records per
    // transaction so that none holds the writer long.
    struct Tier {
        const char* table;
        const char* time;  // the time column, in units of unit_s seconds
        const char* where;
        std::time_t keep;
        long long unit_s;
        long long step;  // in the time column's units
    };
    const Tier tiers[] = {
        {"sample", "m", "local = 0", WINDOWS_KEEP_S, 60, 1},
        {"hourly", "hour", "local = 0", HOURLY_KEEP_S, 3600, 1},
        {"event", "t", "1", EVENTS_KEEP_S, 1, DAY_S},
        {"identity", "t", "1", EVENTS_KEEP_S, 1, DAY_S},
        {"sample", "m", "local = 1", LOCAL_WINDOWS_KEEP_S, 60, 1},
        {"hourly", "hour", "local = 1", HOURLY_KEEP_S, 3600, 1},
    };
    // Deletes the oldest step of a tier before cutoff; false when none is left.
    auto prune_step = [&](const Tier& tier, std::time_t cutoff_s) {
        long long cutoff = static_cast<long long>(cutoff_s) / tier.unit_s;
        std::string where = std::string(" WHERE ") + tier.where;
        sql::Statement oldest(db_, (std::string("SELECT min(") + tier.time + ") FROM " + tier.table + where).c_str());
        if (!oldest.step() || oldest.null(0) || oldest.integer(0) >= cutoff) return false;
        long long until = std::min<long long>(cutoff, oldest.integer(0) + tier.step);
        sql::Statement remove(
            db_, (std::string("DELETE FROM ") + tier.table + where + " AND " + tier.time + " < ?").c_str());
        if (!remove.bind(1, until).run()) {
            handle_failure(sqlite3_errcode(db_), "pruning");
            return false;
        }
        return true;
    };
    for (const Tier& tier : tiers)
        while (db_ && Clock::now() < deadline && prune_step(tier, now - tier.keep)) {
        }
    // Over the size limit: the oldest figures of other cells go first
    // (windows and hours alike, by age), then the oldest state changes and
    // identities, the local beacon's own cells last.  Freed pages are
    // reused; the file is never vacuumed.
    long long limit = static_cast<long long>(options_.max_mb * 1048576.0);
    const std::vector<std::vector<const Tier*>> rounds = {
        {&tiers[0], &tiers[1]}, {&tiers[2], &tiers[3]}, {&tiers[4], &tiers[5]}};
    auto oldest_s = [&](const Tier& tier) -> std::optional<long long> {
        sql::Statement oldest(
            db_, (std::string("SELECT min(") + tier.time + ") FROM " + tier.table + " WHERE " + tier.where).c_str());
        if (!oldest.step() || oldest.null(0)) return std::nullopt;
        return oldest.integer(0) * tier.unit_s;
    };
    for (const auto& round : rounds) {
        while (db_ && Clock::now() < deadline && used_bytes() > limit * 9 / 10) {
            const Tier* pick = nullptr;
            long long pick_s = 0;
            for (const Tier* tier : round)
                if (std::optional<long long> t = oldest_s(*tier); t && (!pick || *t < pick_s)) {
                    pick = tier;
                    pick_s = *t;
                }
            if (!pick || !prune_step(*pick, std::numeric_limits<std::time_t>::max() / 2)) break;
        }
    }
    // Cells whose figures and events are all gone, once an hour: addresses
    // that a dump listed once (or that hostile reports invented) do not
    // stay for ever.  A cell's figures are no older than its seen less a
    // day.
    if (db_ && now / 3600 != cells_pruned_hour_) {
        cells_pruned_hour_ = now / 3600;
        std::optional<long long> oldest;
        for (const Tier& tier : tiers)
            if (tier.table == std::string("sample") || tier.table == std::string("hourly"))
                if (std::optional<long long> t = oldest_s(tier); t && (!oldest || *t < *oldest)) oldest = t;
        sql::Statement gone(db_,
                            "DELETE FROM cell WHERE seen + 86400 <= ? AND NOT EXISTS"
                            " (SELECT 1 FROM event WHERE event.cell = cell.id) RETURNING id");
        gone.bind(1, oldest.value_or(std::numeric_limits<long long>::max() / 2));
        std::unordered_set<long long> ids;
        while (gone.step()) ids.insert(gone.integer(0));
        if (gone.code() != SQLITE_DONE) {
            handle_failure(gone.code(), "pruning cells");
            return;
        }
        for (auto it = cell_ids_.begin(); !ids.empty() && it != cell_ids_.end();)
            it = ids.count(it->second) ? cell_ids_.erase(it) : std::next(it);
    }
}

void History::start(std::function<View()> source, double tick_s) {
    source_ = std::move(source);
    tick_s_ = tick_s;
    thread_ = std::thread([this] { run(); });
}

void History::run() {
    std::shared_ptr<const Snapshot> last;  // held, so that a new one is never at its address
    std::unique_lock<std::mutex> lock(stop_mutex_);
    while (!stopping_) {
        lock.unlock();
        View view = source_();
        if (view.snapshot) {
            // A snapshot seen before is looked at again for figures that
            // aged into stale.
            record(*view.snapshot, std::time(nullptr), view.snapshot == last);
            last = view.snapshot;
        }
        lock.lock();
        stop_signal_.wait_for(lock, std::chrono::duration<double>(tick_s_), [this] { return stopping_; });
    }
}

sqlite3* History::reader(unsigned& generation) {
    {
        std::lock_guard<std::mutex> lock(readers_mutex_);
        generation = generation_;
        if (!readers_.empty()) {
            sqlite3* db = readers_.back();
            readers_.pop_back();
            return db;
        }
    }
    sqlite3* db = nullptr;
    int flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(uri_.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return nullptr;
    }
    sql::exec(db, "PRAGMA busy_timeout = 2000");
    return db;
}

void History::give_back(sqlite3* db, unsigned generation) {
    std::lock_guard<std::mutex> lock(readers_mutex_);
    if (generation == generation_ && readers_.size() < 8)
        readers_.push_back(db);
    else
        sqlite3_close(db);
}

}  // namespace view
