#include <array>

#include "endpoints/Decimal.hpp"
#include "tamsenor/endpoints/APIBaseURL.hpp"
#include "tamsenor/endpoints/V0Endpoint.hpp"

namespace tamsenor::V0Endpoint {

namespace {

URL taggingsURL(std::string_view action, const std::string& type, const std::string& target,
                std::int64_t targetId) {
  const detail::Decimal id(targetId);
  const std::array<URLQueryItem, 3> items{URLQueryItem{"tag_type", type},
                                          URLQueryItem{"target_type", target},
                                          URLQueryItem{"target_id", id.view()}};
  const std::array<std::string_view, 2> segments{"taggings", action};
  return apiBaseURL().appending(segments, items);
}

URL urlFor(const POST::firebase_device_registrations&) {
  return apiBaseURL().appendingPathComponent("firebase_device_registrations");
}
URL urlFor(const POST::mobile_app_ab_test&) {
  return apiBaseURL().appendingPathComponent("mobile_app_ab_test");
}
URL urlFor(const POST::send_sign_in_link&) {
  return apiBaseURL().appendingPathComponent("send_sign_in_link");
}
URL urlFor(const POST::taggings_add& c) { return taggingsURL("add", c.type, c.target, c.targetId); }
URL urlFor(const POST::taggings_remove& c) {
  return taggingsURL("remove", c.type, c.target, c.targetId);
}
URL urlFor(const POST::user_terms_acceptances&) {
  return apiBaseURL().appendingPathComponent("user_terms_acceptances");
}

// Every case carries `payload` and `contentType`; from an rvalue case both are moved.
template <class Case>
URLRequest makeRequest(Case&& c) {
  URLRequest request(urlFor(c), URLRequestCachePolicy::reloadIgnoringLocalCacheData);
  request.setHTTPBody(std::forward<Case>(c).payload);
  request.setHTTPMethod("POST");
  request.setValue(std::forward<Case>(c).contentType, "Content-Type");
  return request;
}

}  // namespace

URLRequest POST::request() const& {
  return std::visit([](const auto& c) { return makeRequest(c); }, value_);
}

URLRequest POST::request() && {
  return std::visit([](auto&& c) { return makeRequest(std::move(c)); }, std::move(value_));
}

}  // namespace tamsenor::V0Endpoint
