#include "tamsenor/abtesting/framework/ABTestState.hpp"

namespace tamsenor {

std::string_view to_string(ABTestState::Case kind) noexcept {
  switch (kind) {
    case ABTestState::Case::active:
      return "active";
    case ABTestState::Case::finished:
      return "finished";
    case ABTestState::Case::inactive:
      return "inactive";
  }
  return "unknown";
}

std::string to_string(const ABTestState& state) {
  std::string text(to_string(state.kind()));
  if (const auto bucket = state.bucket()) {
    text += '(';
    text += *bucket;
    text += ')';
  }
  return text;
}

std::ostream& operator<<(std::ostream& out, ABTestState::Case kind) {
  return out << to_string(kind);
}

std::ostream& operator<<(std::ostream& out, const ABTestState& state) {
  return out << to_string(state);
}

}  // namespace tamsenor
