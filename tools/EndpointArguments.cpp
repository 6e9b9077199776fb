#include "tools/EndpointArguments.hpp"

#include <initializer_list>
#include <string_view>
#include <utility>

#include "tools/UsageError.hpp"

namespace tamsenor::tools {

namespace {

using GET = V0Endpoint::GET;
using POST = V0Endpoint::POST;

template <class T>
T required(const std::optional<T>& value, std::string_view option, const std::string& caseName) {
  if (!value) throw UsageError(caseName + " needs " + std::string(option));
  return *value;
}

}  // namespace

GET EndpointArguments::get(const std::string& caseName) const {
  // Every option a case does not take is refused, so that a typo cannot pass unnoticed.
  const std::initializer_list<std::pair<std::string_view, bool>> given{
      {"--id", id.has_value()},         {"--page-size", pageSize.has_value()},
      {"--cursor", cursor.has_value()}, {"--query", query.has_value()},
      {"--limit", limit.has_value()},   {"--type", type.has_value()},
      {"--target", target.has_value()}, {"--target-id", targetId.has_value()}};
  auto refuseAllBut = [&](std::initializer_list<std::string_view> taken) {
    for (const auto& [option, present] : given) {
      if (!present) continue;
      bool allowed = false;
      for (auto name : taken) allowed = allowed || name == option;
      if (!allowed) throw UsageError(std::string(option) + " does not apply to " + caseName);
    }
  };

  if (caseName == "research_interests_works") {
    refuseAllBut({"--id", "--page-size", "--cursor"});
    return GET(GET::research_interests_works{
        .id = required(id, "--id", caseName), .pageSize = pageSize, .cursor = cursor});
  }
  if (caseName == "research_interests_search") {
    refuseAllBut({"--query", "--limit"});
    return GET(GET::research_interests_search{.query = required(query, "--query", caseName),
                                              .limitSize = limit});
  }
  if (caseName == "research_interests_stats") {
    refuseAllBut({"--id"});
    return GET(GET::research_interests_stats{.id = required(id, "--id", caseName)});
  }
  if (caseName == "taggings") {
    refuseAllBut({"--type", "--target", "--target-id"});
    return GET(GET::taggings{.type = required(type, "--type", caseName),
                             .target = required(target, "--target", caseName),
                             .targetId = required(targetId, "--target-id", caseName)});
  }
  if (caseName == "user_terms_acceptances") {
    refuseAllBut({});
    return GET(GET::user_terms_acceptances{});
  }
  throw UsageError(
      "no GET endpoint " + caseName +
      " (research_interests_works, research_interests_search, research_interests_stats, "
      "taggings, user_terms_acceptances)");
}

POST EndpointArguments::post(const std::string& caseName, Data payload,
                             std::string contentType) const {
  const bool tagging = caseName == "taggings_add" || caseName == "taggings_remove";
  if (!tagging && (type || target || targetId)) {
    throw UsageError("--type, --target and --target-id do not apply to " + caseName);
  }
  if (caseName == "firebase_device_registrations") {
    return POST(POST::firebase_device_registrations{std::move(payload), std::move(contentType)});
  }
  if (caseName == "mobile_app_ab_test") {
    return POST(POST::mobile_app_ab_test{std::move(payload), std::move(contentType)});
  }
  if (caseName == "send_sign_in_link") {
    return POST(POST::send_sign_in_link{std::move(payload), std::move(contentType)});
  }
  if (caseName == "user_terms_acceptances") {
    return POST(POST::user_terms_acceptances{std::move(payload), std::move(contentType)});
  }
  if (tagging) {
    auto tagType = required(type, "--type", caseName);
    auto targetType = required(target, "--target", caseName);
    const auto targetNumber = required(targetId, "--target-id", caseName);
    if (caseName == "taggings_add") {
      return POST(POST::taggings_add{std::move(tagType), std::move(targetType), targetNumber,
                                     std::move(payload), std::move(contentType)});
    }
    return POST(POST::taggings_remove{std::move(tagType), std::move(targetType), targetNumber,
                                      std::move(payload), std::move(contentType)});
  }
  throw UsageError("no POST endpoint " + caseName +
                   " (firebase_device_registrations, mobile_app_ab_test, send_sign_in_link, "
                   "taggings_add, taggings_remove, user_terms_acceptances)");
}

}  // namespace tamsenor::tools
