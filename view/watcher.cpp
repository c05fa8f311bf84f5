#include "view/watcher.h"

#include <sys/stat.h>

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
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        if (checked_ && key == key_) return view_;
    }
    std::unique_lock<std::mutex> reading(reload_mutex_, std::try_to_lock);
    if (reading.owns_lock()) reload(key, stat_errno);
    std::lock_guard<std::mutex> lock(state_mutex_);
    return view_;
}

void DumpWatcher::reload(const FileKey& key, int stat_errno) {
    std::optional<std::string> error;
    std::shared_ptr<Snapshot> fresh;
    if (!key.exists) {
        error = path_ + ": " + std::strerror(stat_errno);
    } else {
        try {
            auto snapshot = std::make_shared<Snapshot>();
            snapshot->dump_text = read_file(path_);
            snapshot->model = parse_dump(snapshot->dump_text, path_);
            snapshot->pairs = find_pairs(snapshot->model);
            snapshot->clock_suspects = clock_suspects(snapshot->model, snapshot->pairs, clock_threshold_ms_);
            snapshot->model_json = model_json(snapshot->model, snapshot->pairs, snapshot->clock_suspects);
            snapshot->modified = static_cast<std::time_t>(key.mtime_ns / 1000000000LL);
            fresh = std::move(snapshot);
        } catch (const DumpError& e) {
            error = e.what();
        } catch (const std::bad_alloc&) {
            error = path_ + ": out of memory reading it";
        } catch (const std::exception& e) {
            error = path_ + ": " + e.what();
        } catch (...) {
            error = path_ + ": unreadable";
        }
    }
    std::optional<std::string> line;
    if (error && (!checked_ || !view_.error))
        line = *error + (view_.snapshot ? "; serving the last good dump" : "; answering 503 until a good dump is read");
    else if (!error && fresh && view_.error)
        line = path_ + ": read again, " + std::to_string(fresh->model.beacons.size()) + " beacons";
    if (line && log_) log_(*line);
    std::lock_guard<std::mutex> lock(state_mutex_);
    // A file that changed again while it was read is read again next time.
    checked_ = true;
    key_ = key;
    if (fresh) view_.snapshot = std::move(fresh);
    if (error) ++view_.read_errors;
    view_.error = std::move(error);
}

}  // namespace view
