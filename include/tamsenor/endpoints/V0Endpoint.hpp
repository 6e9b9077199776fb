#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "tamsenor/Export.hpp"
#include "tamsenor/platform/Data.hpp"
#include "tamsenor/platform/URLRequest.hpp"

// The service's version-0 endpoints as plain values. Each value builds a fresh, complete request
// record with request(): URL under apiBaseURL(), method, headers, body, the cache policy
// reloadIgnoringLocalCacheData and the default time-out (URLRequest::kDefaultTimeoutInterval).
// Building never fails and may run on any thread.
//
//   auto record = V0Endpoint::GET(V0Endpoint::GET::research_interests_works{
//                                     .id = 42, .pageSize = 20, .cursor = 7})
//                     .request();  // .../v0/research_interests/42/works?cursor=7&page_size=20
namespace tamsenor::V0Endpoint {

// Reads. The records carry no header field and no body.
class TAMSENOR_EXPORT GET {
 public:
  struct research_interests_works {
    std::int64_t id;
    std::optional<std::uint64_t> pageSize = std::nullopt;
    std::optional<std::uint64_t> cursor = std::nullopt;
  };
  struct research_interests_search {
    std::string query;
    std::optional<std::uint64_t> limitSize = std::nullopt;
  };
  struct research_interests_stats {
    std::int64_t id;
  };
  struct taggings {
    std::string type;
    std::string target;
    std::int64_t targetId;
  };
  struct user_terms_acceptances {};

  using Value = std::variant<research_interests_works, research_interests_search,
                             research_interests_stats, taggings, user_terms_acceptances>;

  explicit GET(Value value) : value_(std::move(value)) {}

  [[nodiscard]] const Value& value() const noexcept { return value_; }
  [[nodiscard]] URLRequest request() const;

 private:
  Value value_;
};

// Writes. The records carry the payload as body and exactly one header, "Content-Type", holding
// contentType verbatim.
class TAMSENOR_EXPORT POST {
 public:
  struct firebase_device_registrations {
    Data payload;
    std::string contentType;
  };
  struct mobile_app_ab_test {
    Data payload;
    std::string contentType;
  };
  struct send_sign_in_link {
    Data payload;
    std::string contentType;
  };
  struct taggings_add {
    std::string type;
    std::string target;
    std::int64_t targetId;
    Data payload;
    std::string contentType;
  };
  struct taggings_remove {
    std::string type;
    std::string target;
    std::int64_t targetId;
    Data payload;
    std::string contentType;
  };
  struct user_terms_acceptances {
    Data payload;
    std::string contentType;
  };

  using Value = std::variant<firebase_device_registrations, mobile_app_ab_test, send_sign_in_link,
                             taggings_add, taggings_remove, user_terms_acceptances>;

  explicit POST(Value value) : value_(std::move(value)) {}

  [[nodiscard]] const Value& value() const noexcept { return value_; }
  [[nodiscard]] URLRequest request() const&;
  // The same record; moves the payload instead of copying it.
  [[nodiscard]] URLRequest request() &&;

 private:
  Value value_;
};

}  // namespace tamsenor::V0Endpoint
