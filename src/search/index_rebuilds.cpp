// The rebuild threads: kept in one table for the process, stopped and joined when the
// process ends (a rebuild stopped early leaves the old state, never a half index).
#include "search/index_rebuilds.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "search/index_database.h"
#include "search/index_files.h"

namespace kestrune {

namespace fs = std::filesystem;

namespace {

struct RebuildJob {
  bool done = false;  // guarded by the table's mutex
  std::condition_variable finished;
  std::thread thread;
};

class RebuildTable {
 public:
  static RebuildTable& Get() {
    static RebuildTable table;
    return table;
  }

  ~RebuildTable() {
    stop_ = true;
    std::vector<std::shared_ptr<RebuildJob>> jobs;
    {
      std::lock_guard lock(mutex_);
      for (auto& [key, job] : running_) jobs.push_back(job);
      for (auto& job : finished_) jobs.push_back(job);
    }
    for (auto& job : jobs) {
      if (job->thread.joinable()) job->thread.join();
    }
  }

  bool Run(const fs::path& store, std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    ReapFinished();
    const std::string key = store.lexically_normal().string();
    std::shared_ptr<RebuildJob>& slot = running_[key];
    if (!slot) {
      slot = std::make_shared<RebuildJob>();
      slot->thread = std::thread([this, store, key, job = slot] { Work(store, key, job); });
    }
    const std::shared_ptr<RebuildJob> job = slot;
    return job->finished.wait_for(lock, wait, [&] { return job->done; });
  }

 private:
  void Work(const fs::path& store, const std::string& key, std::shared_ptr<RebuildJob> job) {
    try {
      // Another writer may hold the lock for a while (a fetch's commit, a rebuild by
      // the command line); this thread waits for it, not the request.
      const auto held = SearchIndexLock::Take(store, std::chrono::hours(1), &stop_);
      if (held && CheckIndex(store) != IndexCondition::kReady) BuildIndex(store, &stop_);
    } catch (...) {
      // the lock file cannot be opened: the search reports the index as unusable
    }
    std::lock_guard lock(mutex_);
    job->done = true;
    running_.erase(key);
    finished_.push_back(job);
    job->finished.notify_all();
  }

  // Joins threads that have ended (under mutex_).
  void ReapFinished() {
    for (auto& job : finished_) {
      if (job->thread.joinable() && job->thread.get_id() != std::this_thread::get_id()) {
        job->thread.join();
      }
    }
    finished_.clear();
  }

  std::mutex mutex_;
  std::atomic<bool> stop_{false};
  std::map<std::string, std::shared_ptr<RebuildJob>> running_;
  std::vector<std::shared_ptr<RebuildJob>> finished_;
};

}  // namespace

bool RebuildInBackground(const fs::path& store, std::chrono::milliseconds wait) {
  return RebuildTable::Get().Run(store, wait);
}

}  // namespace kestrune
