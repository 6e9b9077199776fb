#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "tamsenor/endpoints/V0Endpoint.hpp"

namespace tamsenor::tools {

// The endpoint options of `get` and `post`, as given. Turning them into an endpoint value throws
// UsageError for an unknown case name, a missing field, or an option the case has no field for.
struct EndpointArguments {
  std::optional<std::int64_t> id;
  std::optional<std::uint64_t> pageSize;
  std::optional<std::uint64_t> cursor;
  std::optional<std::string> query;
  std::optional<std::uint64_t> limit;
  std::optional<std::string> type;
  std::optional<std::string> target;
  std::optional<std::int64_t> targetId;

  [[nodiscard]] V0Endpoint::GET get(const std::string& caseName) const;
  [[nodiscard]] V0Endpoint::POST post(const std::string& caseName, Data payload,
                                      std::string contentType) const;
};

}  // namespace tamsenor::tools
