#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>

#include "tamsenor/Export.hpp"

namespace tamsenor {

// Where a test stands for this device: active or finished in a bucket, or inactive (no bucket).
// A plain value; two states are equal when case and bucket are equal.
class ABTestState {
 public:
  enum class Case { active, finished, inactive };

  [[nodiscard]] static ABTestState active(std::string bucket) {
    return ABTestState(Case::active, std::move(bucket));
  }
  [[nodiscard]] static ABTestState finished(std::string bucket) {
    return ABTestState(Case::finished, std::move(bucket));
  }
  [[nodiscard]] static ABTestState inactive() { return ABTestState(Case::inactive, {}); }

  [[nodiscard]] Case kind() const noexcept { return kind_; }
  // The bucket of an active or finished test; nothing for an inactive one.
  [[nodiscard]] std::optional<std::string_view> bucket() const noexcept {
    if (kind_ == Case::inactive) return std::nullopt;
    return bucket_;
  }

  friend bool operator==(const ABTestState&, const ABTestState&) = default;

 private:
  ABTestState(Case kind, std::string bucket) : kind_(kind), bucket_(std::move(bucket)) {}

  Case kind_;
  std::string bucket_;  // empty for inactive
};

// "active", "finished", "inactive".
[[nodiscard]] TAMSENOR_EXPORT std::string_view to_string(ABTestState::Case kind) noexcept;
// "active(<bucket>)", "finished(<bucket>)" or "inactive".
[[nodiscard]] TAMSENOR_EXPORT std::string to_string(const ABTestState& state);
TAMSENOR_EXPORT std::ostream& operator<<(std::ostream& out, ABTestState::Case kind);
TAMSENOR_EXPORT std::ostream& operator<<(std::ostream& out, const ABTestState& state);

}  // namespace tamsenor
