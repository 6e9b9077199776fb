#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <optional>

namespace tamsenor::detail {

struct Transfer;

// The loop's one timer: an entry per started transfer, ordered by when its limits are next
// looked at, and an entry per call waiting for its time (URLSession::callAfter); the first entry
// bounds the loop's wait. Activity moves a transfer's deadline later without touching its entry:
// an entry that comes due early is put back at the new deadline, so bytes cost no reordering,
// and an idle session has no wake-up at all.
class DeadlineQueue {
 public:
  using Clock = std::chrono::steady_clock;
  // Runs once: with true when its time has come, with false when the session ended first.
  using Call = std::function<void(bool due)>;
  struct Item {
    Transfer* transfer = nullptr;  // or else a call
    Call call;
  };
  using Entries = std::multimap<Clock::time_point, Item>;
  using Entry = Entries::iterator;

  [[nodiscard]] Entry add(Clock::time_point when, Transfer* transfer) {
    return entries_.emplace(when, Item{transfer, {}});
  }
  void remove(Entry entry) noexcept { entries_.erase(entry); }
  // Calls gathered elsewhere (under the session's lock) join without allocating.
  void merge(Entries& calls) noexcept {
    waitingCalls_ += calls.size();
    entries_.merge(calls);
  }
  // Takes a call's entry out; it is then the caller's to run.
  [[nodiscard]] Call take(Entry entry) {
    --waitingCalls_;
    return std::move(entries_.extract(entry).mapped().call);
  }
  [[nodiscard]] bool hasCalls() const noexcept { return waitingCalls_ != 0; }
  // The earliest call, due or not.
  [[nodiscard]] std::optional<Entry> firstCall() noexcept {
    for (auto entry = entries_.begin(); entry != entries_.end(); ++entry) {
      if (!entry->second.transfer) return entry;
    }
    return std::nullopt;
  }
  // Milliseconds until the first entry is due, rounded up, at most `longest`.
  [[nodiscard]] int millisecondsUntilNext(Clock::time_point now, int longest) const noexcept {
    if (entries_.empty()) return longest;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(entries_.begin()->first - now);
    return left.count() <= 0         ? 0
           : left.count() >= longest ? longest
                                     : static_cast<int>(left.count());
  }
  // The first entry, when it is due at `now`.
  [[nodiscard]] std::optional<Entry> firstDue(Clock::time_point now) noexcept {
    if (entries_.empty() || entries_.begin()->first > now) return std::nullopt;
    return entries_.begin();
  }

 private:
  Entries entries_;
  std::size_t waitingCalls_ = 0;
};

}  // namespace tamsenor::detail
