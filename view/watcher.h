// The dump file as serve sees it: the last good model, re-read only when the
// file changed, kept when the file turns bad.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "view/model.h"
#include "view/pairs.h"

namespace view {

// One good read of the file, shared by every request that uses it.
struct Snapshot {
    Model model;
    std::string dump_text;   // the file's bytes
    std::vector<Pair> pairs;
    std::vector<int> clock_suspects;
    std::string model_json;  // the model's JSON text, without status
    std::time_t modified = 0;
    // When a fresh figure turns stale (0: never); the snapshot is judged
    // again then, without reading the file.
    std::time_t restale_at = 0;
};

// What a request sees: the last good snapshot (null before the first) and
// why the latest read failed, if it did.
struct View {
    std::shared_ptr<const Snapshot> snapshot;
    std::optional<std::string> error;
    unsigned long read_errors = 0;
};

// How often a file is rewritten, learnt from its modification times: the
// median of the last few gaps between them, so that a restart's odd gap
// does not count.  A thread looks at the file every second, so that every
// rewrite is seen however rarely serve is asked (a scrape every 20 s of a
// dump written every 10 s must not make it 20).
class RewriteClock {
public:
    explicit RewriteClock(std::string path);
    ~RewriteClock();
    RewriteClock(const RewriteClock&) = delete;
    RewriteClock& operator=(const RewriteClock&) = delete;
    // A modification time seen; an older one than the last starts afresh.
    void note(long long mtime_ns);
    // Empty until two gaps were seen.
    std::optional<double> interval() const;

private:
    static constexpr size_t KEPT_GAPS = 7;
    void run();

    const std::string path_;
    mutable std::mutex mutex_;
    std::condition_variable stop_;
    bool stopping_ = false;
    long long last_ns_ = 0;
    std::vector<double> gaps_s_;  // oldest first
    std::thread thread_;
};

class DumpWatcher {
public:
    // log, when given, gets one line when reading starts failing and one
    // when it works again.
    DumpWatcher(std::string path, double clock_threshold_ms, std::function<void(const std::string&)> log = {})
        : path_(std::move(path)), clock_threshold_ms_(clock_threshold_ms), log_(std::move(log)), rewrites_(path_) {}
    // Re-reads the file when stat() shows it changed, unless another thread
    // is already reading it (then the current view is returned at once).
    View current();
    const std::string& path() const { return path_; }
    // How often the file is rewritten, once known.
    std::optional<double> rewrite_interval() const { return rewrites_.interval(); }

private:
    struct FileKey {
        bool exists = false;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        long long mtime_ns = 0;
        bool operator==(const FileKey& o) const {
            return exists == o.exists && device == o.device && inode == o.inode && size == o.size &&
                   mtime_ns == o.mtime_ns;
        }
    };
    void reload(const FileKey& key, int stat_errno);
    std::shared_ptr<Snapshot> derive(Model model, std::string text, std::time_t modified) const;

    const std::string path_;
    const double clock_threshold_ms_;
    const std::function<void(const std::string&)> log_;
    std::mutex reload_mutex_;  // one reader of the file at a time
    std::mutex state_mutex_;   // guards what follows; held only to copy or swap
    bool checked_ = false;
    FileKey key_;
    View view_;
    RewriteClock rewrites_;
};

}  // namespace view
