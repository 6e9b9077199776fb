#include "tools/LocalService.hpp"

#include <httplib.h>

#include <algorithm>
#include <array>
#include <boost/json.hpp>
#include <cctype>
#include <charconv>
#include <chrono>
#include <stdexcept>
#include <string_view>

#include "tamsenor/endpoints/APIBaseURL.hpp"

namespace tamsenor::tools {

namespace json = boost::json;

namespace {

struct ServerTest {
  std::string_view name;
  std::string_view state;
  std::string_view selectedBucket;
};

constexpr std::array kServerTests{
    ServerTest{"onboarding", "active", "variant_b"},
    ServerTest{"search_ranking", "finished", "relevance"},
    ServerTest{"dark_mode", "inactive", "off"},
};

struct ResearchInterest {
  std::int64_t id;
  std::string_view name;
};

constexpr std::array kResearchInterests{
    ResearchInterest{42, "Marine biology"},    ResearchInterest{7, "Machine learning"},
    ResearchInterest{12, "Medieval history"},  ResearchInterest{3, "Quantum computing"},
    ResearchInterest{19, "Soil microbiology"},
};

constexpr std::uint64_t kWorksPerInterest = 10;

// What the handler on this thread answered last: cpp-httplib compresses the body for a client
// that offers a coding before the exchange is recorded, and the record shows what was answered.
thread_local std::string answered;

void answer(httplib::Response& response, int status, const json::value& body) {
  response.status = status;
  answered = json::serialize(body);
  response.set_content(answered, "application/json");
}

void refuse(httplib::Response& response, int status, std::string_view why) {
  answer(response, status, json::object{{"error", why}});
}

// Query values arrive as text; a number that does not parse is the caller's mistake (400).
template <class Integer>
std::optional<Integer> integerParameter(const httplib::Request& request, const char* name) {
  if (!request.has_param(name)) return std::nullopt;
  const std::string text = request.get_param_value(name);
  Integer value{};
  const auto* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || stop != end || text.empty()) return std::nullopt;
  return value;
}

std::string lowercase(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower;
}

}  // namespace

LocalService::LocalService(std::uint16_t port) : apiHost_(apiBaseURL().host()) {
  const auto issued = authority_.issue(apiHost_);
  server_ =
      std::make_unique<httplib::SSLServer>(issued.certificateFile.c_str(), issued.keyFile.c_str());
  if (!server_->is_valid()) throw std::runtime_error("local service: unusable certificate");
  route();
  if (port == 0) {
    const int bound = server_->bind_to_any_port("127.0.0.1");
    if (bound <= 0) throw std::runtime_error("local service: cannot listen on 127.0.0.1");
    port_ = static_cast<std::uint16_t>(bound);
  } else {
    if (!server_->bind_to_port("127.0.0.1", port)) {
      throw std::runtime_error("local service: cannot listen on 127.0.0.1:" + std::to_string(port));
    }
    port_ = port;
  }
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // stop() is lost on a server whose loop has not begun, so the destructor must not race it.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!server_->is_running()) {
    if (std::chrono::steady_clock::now() > deadline) {
      server_->stop();
      thread_.join();
      throw std::runtime_error("local service: not running after 10 s");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

LocalService::~LocalService() {
  server_->stop();
  thread_.join();
}

void LocalService::failNextRequestTo(std::string path, int status) {
  detail::MutexLock lock(mutex_);
  pendingFailures_.emplace_back(std::move(path), status);
}

std::vector<LocalService::Exchange> LocalService::exchanges() const {
  detail::MutexLock lock(mutex_);
  return exchanges_;
}

std::vector<std::pair<std::string, std::string>> LocalService::exposures() const {
  detail::MutexLock lock(mutex_);
  return exposures_;
}

bool LocalService::failsNow(const std::string& path, int& status) {
  detail::MutexLock lock(mutex_);
  const auto found = std::find_if(pendingFailures_.begin(), pendingFailures_.end(),
                                  [&](const auto& failure) { return failure.first == path; });
  if (found == pendingFailures_.end()) return false;
  status = found->second;
  pendingFailures_.erase(found);
  return true;
}

void LocalService::record(const httplib::Request& request, const httplib::Response& response) {
  Exchange exchange{request.method,
                    request.path,
                    {},
                    request.body,
                    response.status,
                    response.has_header("Content-Encoding") ? answered : response.body};
  char separator = '?';
  for (const auto& [name, value] : request.params) {
    exchange.path += separator + name + "=" + value;
    separator = '&';
  }
  for (const char* name : {"Accept", "User-Agent", "Content-Type", "Authorization"}) {
    if (request.has_header(name))
      exchange.headers.emplace_back(name, request.get_header_value(name));
  }
  detail::MutexLock lock(mutex_);
  exchanges_.push_back(std::move(exchange));
}

void LocalService::route() {
  auto& server = *server_;
  // Recorded before the answer is written, so that whoever has the answer finds the exchange.
  server.set_post_routing_handler(
      [this](const httplib::Request& request, httplib::Response& response) {
        record(request, response);
      });
  server.set_pre_routing_handler(
      [this](const httplib::Request& request, httplib::Response& response) {
        int status = 0;
        if (!failsNow(request.path, status)) return httplib::Server::HandlerResponse::Unhandled;
        refuse(response, status, "temporarily unavailable, try again");
        return httplib::Server::HandlerResponse::Handled;
      });
  server.set_error_handler([](const httplib::Request&, httplib::Response& response) {
    if (response.body.empty()) refuse(response, response.status, "no such endpoint");
  });

  server.Post("/v0/send_sign_in_link", [](const httplib::Request& request, auto& response) {
    json::error_code error;
    const json::value body = json::parse(request.body, error);
    const json::object* object = error ? nullptr : body.if_object();
    if (!object || object->size() != 1 || !object->contains("email") ||
        !object->at("email").is_string()) {
      refuse(response, 400, "expected a JSON object with one string member \"email\"");
      return;
    }
    answer(response, 200, json::object{{"sent_to", object->at("email")}});
  });

  server.Post("/v0/mobile_app_ab_test",
              [this](const auto& request, auto& response) { answerABTest(request, response); });

  server.Get(R"(/v0/research_interests/(-?\d+)/works)", [](const auto& request, auto& response) {
    const auto id = std::stoll(request.matches[1]);
    const auto cursor = integerParameter<std::uint64_t>(request, "cursor");
    const auto pageSize = integerParameter<std::uint64_t>(request, "page_size");
    if ((request.has_param("cursor") && !cursor) || (request.has_param("page_size") && !pageSize)) {
      refuse(response, 400, "cursor and page_size are unsigned integers");
      return;
    }
    const std::uint64_t first = std::min(cursor.value_or(0), kWorksPerInterest);
    const std::uint64_t last =
        std::min(kWorksPerInterest, first + std::min<std::uint64_t>(pageSize.value_or(3), 50));
    json::array works;
    for (std::uint64_t n = first + 1; n <= last; ++n) {
      works.push_back(json::object{
          {"id", n},
          {"title", "Work " + std::to_string(n) + " on research interest " + std::to_string(id)}});
    }
    json::object body{{"research_interest_id", id}, {"works", std::move(works)}};
    body["next_cursor"] = last < kWorksPerInterest ? json::value(last) : json::value(nullptr);
    answer(response, 200, body);
  });

  server.Get("/v0/research_interests/search", [](const auto& request, auto& response) {
    const auto limit = integerParameter<std::uint64_t>(request, "limit");
    if (!request.has_param("q") || (request.has_param("limit") && !limit)) {
      refuse(response, 400, "q is required and limit is an unsigned integer");
      return;
    }
    const std::string query = request.get_param_value("q");
    json::array results;
    for (const auto& interest : kResearchInterests) {
      if (results.size() >= limit.value_or(10)) break;
      if (lowercase(interest.name).find(lowercase(query)) == std::string::npos) continue;
      results.push_back(json::object{{"id", interest.id}, {"name", interest.name}});
    }
    answer(response, 200, json::object{{"query", query}, {"results", std::move(results)}});
  });

  server.Get(R"(/v0/research_interests/(-?\d+)/stats)", [](const auto& request, auto& response) {
    answer(response, 200,
           json::object{{"id", std::stoll(request.matches[1])},
                        {"works", kWorksPerInterest},
                        {"followers", 128}});
  });

  server.Get("/v0/taggings/", [this](const auto& request, auto& response) {
    answerTaggings(request, response, false);
  });
  server.Post("/v0/taggings/add", [this](const auto& request, auto& response) {
    answerTaggings(request, response, true);
  });
  server.Post("/v0/taggings/remove", [this](const auto& request, auto& response) {
    answerTaggings(request, response, false);
  });

  server.Get("/v0/user_terms_acceptances", [this](const auto&, auto& response) {
    json::array accepted;
    detail::MutexLock lock(mutex_);
    for (const auto& body : termsAcceptances_) accepted.push_back(json::parse(body));
    answer(response, 200, json::object{{"acceptances", std::move(accepted)}});
  });
  server.Post("/v0/user_terms_acceptances", [this](const auto& request, auto& response) {
    json::error_code error;
    const json::value body = json::parse(request.body, error);
    if (error || !body.is_object()) {
      refuse(response, 400, "expected a JSON object");
      return;
    }
    detail::MutexLock lock(mutex_);
    termsAcceptances_.push_back(request.body);
    answer(response, 200, json::object{{"accepted", true}});
  });
  server.Post("/v0/firebase_device_registrations", [](const auto& request, auto& response) {
    json::error_code error;
    const json::value body = json::parse(request.body, error);
    if (error || !body.is_object()) {
      refuse(response, 400, "expected a JSON object");
      return;
    }
    answer(response, 200, json::object{{"registered", true}});
  });
}

void LocalService::answerABTest(const httplib::Request& request, httplib::Response& response) {
  json::error_code error;
  const json::value body = json::parse(request.body, error);
  const json::object* object = error ? nullptr : body.if_object();
  const json::value* guid = object ? object->if_contains("mobile_guid") : nullptr;
  const json::value* tests = object ? object->if_contains("tests") : nullptr;
  if (!guid || !guid->is_string() || !tests || !tests->is_array()) {
    refuse(response, 400, "expected {\"mobile_guid\": string, \"tests\": [...]}");
    return;
  }
  json::array entries;
  std::vector<std::pair<std::string, std::string>> exposed;
  for (const auto& test : tests->get_array()) {
    const json::object* entry = test.if_object();
    const json::value* type = entry ? entry->if_contains("type") : nullptr;
    const json::value* name = entry ? entry->if_contains("test_name") : nullptr;
    if (!type || !name || !name->is_string() ||
        (*type != "tamsenor_test" && *type != "expose_tamsenor_test")) {
      refuse(response, 400,
             "each test is {\"type\": \"tamsenor_test\"|\"expose_tamsenor_test\", \"test_name\": "
             "string}");
      return;
    }
    const std::string_view testName = name->get_string();
    if (*type == "expose_tamsenor_test") {
      exposed.emplace_back(guid->get_string(), testName);
    }
    for (const auto& known : kServerTests) {
      if (known.name != testName) continue;
      entries.push_back(json::object{{"test_name", known.name},
                                     {"state", known.state},
                                     {"selected_bucket", known.selectedBucket}});
    }
  }
  {
    detail::MutexLock lock(mutex_);
    exposures_.insert(exposures_.end(), exposed.begin(), exposed.end());
  }
  answer(response, 200, json::object{{"success", true}, {"tests", std::move(entries)}});
}

void LocalService::answerTaggings(const httplib::Request& request, httplib::Response& response,
                                  bool add) {
  const auto targetId = integerParameter<std::int64_t>(request, "target_id");
  if (!request.has_param("tag_type") || !request.has_param("target_type") || !targetId) {
    refuse(response, 400, "tag_type, target_type and an integer target_id are required");
    return;
  }
  const std::string key = request.get_param_value("tag_type") + '\n' +
                          request.get_param_value("target_type") + '\n' + std::to_string(*targetId);
  json::object body{{"tag_type", request.get_param_value("tag_type")},
                    {"target_type", request.get_param_value("target_type")},
                    {"target_id", *targetId}};
  detail::MutexLock lock(mutex_);
  if (request.method == "GET") {
    json::array taggings;
    for (const auto& [target, tagging] : taggings_) {
      if (target == key) taggings.push_back(json::parse(tagging));
    }
    body["taggings"] = std::move(taggings);
  } else if (add) {
    json::error_code error;
    const json::value tagging = json::parse(request.body, error);
    if (error) {
      refuse(response, 400, "expected a JSON body");
      return;
    }
    taggings_.emplace_back(key, request.body);
    body["added"] = true;
  } else {
    const auto removed = std::erase_if(taggings_, [&](const auto& t) { return t.first == key; });
    body["removed"] = removed;
  }
  answer(response, 200, body);
}

}  // namespace tamsenor::tools
