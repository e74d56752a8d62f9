#include "tools/runner/outputs/history/history_keeper.h"

#include <ctime>
#include <exception>

#include "tools/record/record_format.h"
#include "tools/runner/data_folder/data_folder.h"

namespace runner::outputs {

using record::HistoryVerdict;

HistoryKeeper::HistoryKeeper(const std::string& data_dir, std::uint32_t data_id,
                             HistoryPolicy policy, const console::Console& console)
    : label_("[" + std::to_string(data_id) + "] "),
      data_id_(data_id),
      policy_(policy),
      console_(console),
      history_path_(data_folder::HistoryPath(data_dir, data_id)),
      cache_path_(data_folder::CachePath(data_dir, data_id)),
      history_(history_path_, record::kRecordSize, policy.sync_each_record) {}

HistoryKeeper::~HistoryKeeper() { Stop(); }

void HistoryKeeper::Problem(const std::string& line) const { console_.Problem(label_ + line); }

void HistoryKeeper::ReportWrite(bool& failing, const std::string& file, const std::string& error) {
    if (!error.empty() && !failing) Problem(file + ": " + error);
    if (error.empty() && failing) Problem(file + ": writing again");
    failing = !error.empty();
}

bool HistoryKeeper::UsableOrSetAside(const std::string& path, const HistoryVerdict& verdict,
                                     const std::string& what, bool quiet) {
    switch (verdict.kind) {
        case HistoryVerdict::Kind::kMissing:
        case HistoryVerdict::Kind::kOurs:
            return true;
        case HistoryVerdict::Kind::kUnreadable:
            if (!quiet) Problem(what + " " + verdict.reason);
            return false;
        case HistoryVerdict::Kind::kNotOurs:
            break;
    }
    const std::string foreign =
        what + " " + path + " is not this device's (" + verdict.reason + ")";
    try {
        const std::string aside = record::SetAside(path, verdict.tag, std::time(nullptr));
        Problem(foreign + "; renamed aside to " + aside + ", a new one starts");
        return true;
    } catch (const std::exception& e) {
        if (!quiet) Problem(foreign + " and " + e.what() + "; left alone, not used");
        return false;
    }
}

std::optional<HistoryKeeper::StartImage> HistoryKeeper::Start() {
    const HistoryVerdict history = record::CheckHistoryFile(history_path_, data_id_);
    // Reported here: not again on every record.
    history_failing_ = !UsableOrSetAside(history_path_, history, "history", false);
    const HistoryVerdict cache = record::CheckCacheFile(cache_path_, data_id_);
    UsableOrSetAside(cache_path_, cache, "cache", false);
    if (!cache.last_record.empty()) return StartImage{cache.last_record, cache_path_};
    if (!history.last_record.empty()) return StartImage{history.last_record, history_path_};
    return std::nullopt;
}

// Before each write: the file must still be ours and still be the one open.
bool HistoryKeeper::OpenHistory() {
    if (history_.is_open()) {
        if (history_.StillAtPath()) return true;
        history_.Close();
        Problem("history " + history_path_ +
                " was removed or replaced while running; starting it anew");
    }
    // A file that cannot be used is reported once, not on every record.
    if (!UsableOrSetAside(history_path_, record::CheckHistoryFile(history_path_, data_id_),
                          "history", history_failing_)) {
        history_failing_ = true;
        return false;
    }
    std::size_t cut = 0;
    const std::string error = history_.Open(&cut);
    if (!error.empty()) {
        if (!history_failing_)
            Problem("history " + history_path_ + ": cannot open (" + error + ")");
        history_failing_ = true;
        return false;
    }
    if (cut != 0) {
        Problem("history " + history_path_ + " ended in a partial record; cut " +
                std::to_string(cut) + " bytes");
    }
    return true;
}

void HistoryKeeper::Save(const std::uint8_t* data, std::size_t length, int interval_seconds,
                         Clock::time_point now) {
    const bool due = policy_.every_round || !last_saved_ ||
                     now - *last_saved_ >= std::chrono::seconds(interval_seconds);
    if (due && OpenHistory()) {
        const std::string error = history_.Append(data, length);
        ReportWrite(history_failing_, "history " + history_path_, error);
        if (error.empty()) last_saved_ = now;
    }
    if (data == nullptr || length != record::kRecordSize) return;
    newest_.assign(data, data + length);
    newest_cached_ = false;
    if (!last_cached_ || now - *last_cached_ >= policy_.cache_every) {
        WriteCache();
        last_cached_ = now;
    }
}

void HistoryKeeper::WriteCache() {
    if (newest_cached_) return;
    const std::string error = record::WriteCacheFile(cache_path_, newest_.data(), newest_.size());
    ReportWrite(cache_failing_, "cache " + cache_path_, error);
    newest_cached_ = error.empty();
}

void HistoryKeeper::Stop() {
    WriteCache();
    history_.Close();
}

}  // namespace runner::outputs
