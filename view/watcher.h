// The dump file as serve sees it: the last good model, re-read only when the
// file changed, kept when the file turns bad.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
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

class DumpWatcher {
public:
    DumpWatcher(std::string path, double clock_threshold_ms)
        : path_(std::move(path)), clock_threshold_ms_(clock_threshold_ms) {}
    // Re-reads the file when stat() shows it changed, unless another thread
    // is already reading it (then the current view is returned at once).
    View current();
    const std::string& path() const { return path_; }
    // How often the file is rewritten, learnt from the rewrites seen (the
    // median of the last few gaps, so that a restart's odd gap or a request
    // that came late does not count); empty until two gaps were seen.
    std::optional<double> rewrite_interval();

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
    static constexpr size_t KEPT_GAPS = 7;
    void reload(const FileKey& key, int stat_errno);
    std::shared_ptr<Snapshot> derive(Model model, std::string text, std::time_t modified) const;

    const std::string path_;
    const double clock_threshold_ms_;
    std::mutex reload_mutex_;  // one reader of the file at a time
    std::mutex state_mutex_;   // guards what follows; held only to copy or swap
    bool checked_ = false;
    FileKey key_;
    View view_;
    std::vector<double> gaps_s_;  // between the rewrites seen, oldest first
};

}  // namespace view
