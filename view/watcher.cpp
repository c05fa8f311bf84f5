#include "view/watcher.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "view/json_output.h"

namespace view {

View DumpWatcher::current() {
    struct stat st {};
    FileKey key;
    int stat_errno = 0;
    if (stat(path_.c_str(), &st) == 0) {
        key.exists = true;
        key.device = st.st_dev;
        key.inode = st.st_ino;
        key.size = st.st_size;
        key.mtime_ns = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    } else {
        stat_errno = errno;
    }
    std::time_t now = std::time(nullptr);
    std::shared_ptr<const Snapshot> unchanged;
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        if (checked_ && key == key_) {
            const auto& snapshot = view_.snapshot;
            if (!snapshot || snapshot->restale_at == 0 || now < snapshot->restale_at) return view_;
            unchanged = snapshot;
        }
    }
    std::unique_lock<std::mutex> reading(reload_mutex_, std::try_to_lock);
    if (reading.owns_lock()) {
        if (unchanged) {
            // The file was not rewritten, but its figures aged past the
            // limit: the same model judged now.
            auto judged = derive(unchanged->model, unchanged->dump_text, unchanged->modified);
            std::lock_guard<std::mutex> lock(state_mutex_);
            if (view_.snapshot == unchanged) view_.snapshot = std::move(judged);
        } else {
            reload(key, stat_errno);
        }
    }
    std::lock_guard<std::mutex> lock(state_mutex_);
    return view_;
}

std::optional<double> DumpWatcher::rewrite_interval() {
    std::vector<double> gaps;
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        gaps = gaps_s_;
    }
    if (gaps.size() < 2) return std::nullopt;
    std::sort(gaps.begin(), gaps.end());
    // The lower median: of an even count, the shorter of the middle two.
    return gaps[(gaps.size() - 1) / 2];
}

std::shared_ptr<Snapshot> DumpWatcher::derive(Model model, std::string text, std::time_t modified) const {
    auto snapshot = std::make_shared<Snapshot>();
    snapshot->model = std::move(model);
    snapshot->model.written = modified;
    snapshot->model.judged = std::time(nullptr);
    snapshot->dump_text = std::move(text);
    snapshot->pairs = find_pairs(snapshot->model);
    snapshot->clock_suspects = clock_suspects(snapshot->model, snapshot->pairs, clock_threshold_ms_);
    snapshot->model_json = model_json(snapshot->model, snapshot->pairs, snapshot->clock_suspects);
    snapshot->modified = modified;
    snapshot->restale_at = snapshot->model.next_staleness_change();
    return snapshot;
}

void DumpWatcher::reload(const FileKey& key, int stat_errno) {
    std::optional<std::string> error;
    std::shared_ptr<Snapshot> fresh;
    if (!key.exists) {
        error = path_ + ": " + std::strerror(stat_errno);
    } else {
        try {
            std::string text = read_file(path_);
            Model model = parse_dump(text, path_);
            fresh = derive(std::move(model), std::move(text), static_cast<std::time_t>(key.mtime_ns / 1000000000LL));
        } catch (const DumpError& e) {
            error = e.what();
        } catch (const std::bad_alloc&) {
            error = path_ + ": out of memory reading it";
        }
    }
    std::lock_guard<std::mutex> lock(state_mutex_);
    if (fresh && key_.exists && key.mtime_ns > key_.mtime_ns) {
        gaps_s_.push_back(double(key.mtime_ns - key_.mtime_ns) / 1e9);
        if (gaps_s_.size() > KEPT_GAPS) gaps_s_.erase(gaps_s_.begin());
    }
    // A file that changed again while it was read is read again next time.
    checked_ = true;
    key_ = key;
    if (fresh) view_.snapshot = std::move(fresh);
    if (error) ++view_.read_errors;
    view_.error = std::move(error);
}

}  // namespace view
