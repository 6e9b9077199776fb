#include "http/RetryAfter.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "support/ASCII.hpp"

namespace tamsenor::detail {

namespace {

using namespace std::chrono;

// Far beyond any wait a policy allows, and far from overflowing when counted in milliseconds.
constexpr std::uint64_t kMostSeconds = 1'000'000'000;

constexpr std::string_view kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::string_view kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The number written with exactly the `count` digits at `at`, or -1.
int digits(std::string_view text, std::size_t at, std::size_t count) {
  int number = 0;
  for (const char c : text.substr(at, count)) {
    if (!isASCIIDigit(c)) return -1;
    number = number * 10 + (c - '0');
  }
  return number;
}

// The place of `name` in `names`, or -1.
template <std::size_t N>
int indexOf(const std::string_view (&names)[N], std::string_view name) {
  const auto found = std::find(std::begin(names), std::end(names), name);
  return found == std::end(names) ? -1 : static_cast<int>(found - std::begin(names));
}

}  // namespace

std::optional<seconds> parseRetryAfter(std::string_view value, sys_seconds now) {
  if (!value.empty() && std::all_of(value.begin(), value.end(), isASCIIDigit)) {
    std::uint64_t count = 0;
    for (const char c : value)
      count = std::min(count * 10 + static_cast<std::uint64_t>(c - '0'), kMostSeconds);
    return seconds(count);
  }
  if (const auto date = parseIMFFixdate(value)) return std::max(*date - now, seconds(0));
  return std::nullopt;
}

std::optional<sys_seconds> parseIMFFixdate(std::string_view text) {
  // Fixed width: every separator has its place.
  if (text.size() != 29 || text.substr(3, 2) != ", " || text[7] != ' ' || text[11] != ' ' ||
      text[16] != ' ' || text[19] != ':' || text[22] != ':' || text.substr(25) != " GMT") {
    return std::nullopt;
  }
  const int weekday = indexOf(kWeekdays, text.substr(0, 3));
  const int month = indexOf(kMonths, text.substr(8, 3));
  const int day = digits(text, 5, 2);
  const int year = digits(text, 12, 4);
  const int hour = digits(text, 17, 2);
  const int minute = digits(text, 20, 2);
  const int second = digits(text, 23, 2);
  // 60 is a leap second.
  if (weekday < 0 || month < 0 || day < 0 || year < 0 || hour < 0 || hour > 23 || minute < 0 ||
      minute > 59 || second < 0 || second > 60) {
    return std::nullopt;
  }
  const year_month_day date{std::chrono::year(year),
                            std::chrono::month(static_cast<unsigned>(month) + 1),
                            std::chrono::day(static_cast<unsigned>(day))};
  if (!date.ok() ||
      std::chrono::weekday(sys_days(date)).c_encoding() != static_cast<unsigned>(weekday)) {
    return std::nullopt;
  }
  return sys_days(date) + hours(hour) + minutes(minute) + seconds(second);
}

}  // namespace tamsenor::detail
