#include "abtesting/RemoteABTestRecords.hpp"

#include <cstring>

namespace tamsenor::detail {

namespace {

// `text` equals the literal; the caller has checked the length.
template <std::size_t N>
bool isText(std::string_view text, const char (&literal)[N]) noexcept {
  return std::memcmp(text.data(), literal, N - 1) == 0;
}

}  // namespace

std::string_view to_string(RemoteABTestRequestType type) noexcept {
  switch (type) {
    case RemoteABTestRequestType::tamsenorTest:
      return "tamsenor_test";
    case RemoteABTestRequestType::exposeTamsenorTest:
      return "expose_tamsenor_test";
  }
  return {};
}

std::string_view to_string(RemoteABTestState state) noexcept {
  switch (state) {
    case RemoteABTestState::active:
      return "active";
    case RemoteABTestState::finished:
      return "finished";
    case RemoteABTestState::inactive:
      return "inactive";
  }
  return {};
}

// Every answer entry passes through here: the length picks the candidates, so at most two
// comparisons, of a length known when compiling, are made.
std::optional<RemoteABTestState> stateFromString(std::string_view text) noexcept {
  switch (text.size()) {
    case 6:
      if (isText(text, "active")) return RemoteABTestState::active;
      break;
    case 8:
      if (isText(text, "finished")) return RemoteABTestState::finished;
      if (isText(text, "inactive")) return RemoteABTestState::inactive;
      break;
  }
  return std::nullopt;
}

}  // namespace tamsenor::detail
