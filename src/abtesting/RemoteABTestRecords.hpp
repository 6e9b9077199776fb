#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tamsenor/abtesting/framework/ABTest.hpp"
#include "tamsenor/platform/Data.hpp"

// The A/B test endpoint's JSON bodies, in the two directions the service uses: it writes
// requests and reads answers. Private to RemoteABTestService: this header is not installed.
namespace tamsenor::detail {

enum class RemoteABTestRequestType { tamsenorTest, exposeTamsenorTest };
enum class RemoteABTestState { active, finished, inactive };

// "tamsenor_test", "expose_tamsenor_test" / "active", "finished", "inactive".
[[nodiscard]] std::string_view to_string(RemoteABTestRequestType type) noexcept;
[[nodiscard]] std::string_view to_string(RemoteABTestState state) noexcept;
// The state whose string is exactly `text` (case-sensitive), or nothing.
[[nodiscard]] std::optional<RemoteABTestState> stateFromString(std::string_view text) noexcept;

struct RemoteABTestResponse {
  struct CodingKeys {
    static constexpr std::string_view test_name = "test_name";
    static constexpr std::string_view state = "state";
    static constexpr std::string_view selected_bucket = "selected_bucket";
  };
  std::string test_name;
  RemoteABTestState state;
  std::optional<std::string> selected_bucket;

  friend bool operator==(const RemoteABTestResponse&, const RemoteABTestResponse&) = default;
};

struct RemoteABTestConfigResponse {
  struct CodingKeys {
    static constexpr std::string_view success = "success";
    static constexpr std::string_view tests = "tests";
  };
  bool success;
  std::vector<RemoteABTestResponse> tests;

  friend bool operator==(const RemoteABTestConfigResponse&,
                         const RemoteABTestConfigResponse&) = default;
};

// The request body {"mobile_guid":...,"tests":[{"type":...,"test_name":...},...]}: compact,
// keys in this order, one entry of `type` per test, named after it, in order. Nothing when a
// string is not valid UTF-8: JSON text must be Unicode, and sending mangled names helps no one.
[[nodiscard]] std::optional<Data> encodeConfigRequest(std::string_view mobile_guid,
                                                      RemoteABTestRequestType type,
                                                      std::span<const ABTest> tests);

// Strict reading: the body is one JSON object (valid UTF-8, nesting at most 32 deep); keys match
// exactly, unknown keys are ignored; a required key missing or null, a value of the wrong JSON
// type or an unknown state string fails the whole body. A key that the record reads may appear
// only once per object; a repeated one fails the body. Never throws.
[[nodiscard]] std::optional<RemoteABTestConfigResponse> decodeConfigResponse(std::string_view body);

}  // namespace tamsenor::detail
