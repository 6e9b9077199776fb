#pragma once

#include <chrono>
#include <map>

namespace tamsenor::detail {

struct Transfer;

// The loop's one timer: an entry per started transfer, ordered by when its limits are next
// looked at; the first entry bounds the loop's wait. Activity moves a transfer's deadline later
// without touching its entry: an entry that comes due early is put back at the new deadline, so
// bytes cost no reordering, and an idle session has no wake-up at all.
class DeadlineQueue {
 public:
  using Clock = std::chrono::steady_clock;
  using Entry = std::multimap<Clock::time_point, Transfer*>::iterator;

  [[nodiscard]] Entry add(Clock::time_point when, Transfer* transfer) {
    return entries_.emplace(when, transfer);
  }
  void remove(Entry entry) noexcept { entries_.erase(entry); }
  // Milliseconds until the first entry is due, rounded up, at most `longest`.
  [[nodiscard]] int millisecondsUntilNext(Clock::time_point now, int longest) const noexcept {
    if (entries_.empty()) return longest;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(entries_.begin()->first - now);
    return left.count() <= 0         ? 0
           : left.count() >= longest ? longest
                                     : static_cast<int>(left.count());
  }
  // The transfer of the first entry due at `now`, or none.
  [[nodiscard]] Transfer* firstDue(Clock::time_point now) const noexcept {
    return !entries_.empty() && entries_.begin()->first <= now ? entries_.begin()->second : nullptr;
  }

 private:
  std::multimap<Clock::time_point, Transfer*> entries_;
};

}  // namespace tamsenor::detail
