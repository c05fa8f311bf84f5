// A thin layer over SQLite's C interface for the history: prepared
// statements that finalise themselves, and figures held as scaled integers.
#pragma once

#include <sqlite3.h>

#include <cmath>
#include <optional>
#include <string>

namespace view::sql {

class Statement {
public:
    Statement(sqlite3* db, const char* text) : db_(db) {
        code_ = sqlite3_prepare_v2(db, text, -1, &statement_, nullptr);
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return code_ == SQLITE_OK || code_ == SQLITE_ROW || code_ == SQLITE_DONE; }
    int code() const { return code_; }
    Statement& bind(int index, long long value) {
        if (ok()) code_ = sqlite3_bind_int64(statement_, index, value);
        return *this;
    }
    Statement& bind(int index, const std::string& value) {
        if (ok())
            code_ =
                sqlite3_bind_text(statement_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& bind(int index, const std::optional<long long>& value) {
        if (!ok()) return *this;
        code_ = value ? sqlite3_bind_int64(statement_, index, *value) : sqlite3_bind_null(statement_, index);
        return *this;
    }
    // A step: true while it gives a row.
    bool step() {
        if (!ok()) return false;
        code_ = sqlite3_step(statement_);
        return code_ == SQLITE_ROW;
    }
    // Runs a statement that gives no row; true when it succeeded.
    bool run() {
        step();
        return code_ == SQLITE_DONE;
    }
    void reset() {
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
        code_ = SQLITE_OK;
    }
    bool null(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
    long long integer(int column) const { return sqlite3_column_int64(statement_, column); }
    std::optional<long long> maybe(int column) const {
        if (null(column)) return std::nullopt;
        return integer(column);
    }
    std::string text(int column) const {
        const unsigned char* t = sqlite3_column_text(statement_, column);
        return t ? std::string(reinterpret_cast<const char*>(t),
                               static_cast<size_t>(sqlite3_column_bytes(statement_, column)))
                 : std::string();
    }
    std::string error() const { return sqlite3_errmsg(db_); }

private:
    sqlite3* db_;
    sqlite3_stmt* statement_ = nullptr;
    int code_;
};

// Runs statements without results; the SQLite result code.
inline int exec(sqlite3* db, const char* text) { return sqlite3_exec(db, text, nullptr, nullptr, nullptr); }

// Figures are kept as integers in the dump's own precision (varints take two
// or three bytes where a double takes eight): loss in tenths of a percent,
// the others in thousandths of their unit.
constexpr double LOSS_SCALE = 10;
constexpr double FIGURE_SCALE = 1000;
inline std::optional<long long> scaled(const std::optional<double>& value, double scale) {
    if (!value || !std::isfinite(*value) || std::fabs(*value) * scale > 9e15) return std::nullopt;
    return std::llround(*value * scale);
}

}  // namespace view::sql
