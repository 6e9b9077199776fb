#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "src/support/ThreadSafety.hpp"
#include "tools/LocalCertificateAuthority.hpp"

namespace httplib {
class SSLServer;
struct Request;
struct Response;
}  // namespace httplib

namespace tamsenor::tools {

// A stand-in for the service's v0 API over HTTPS on 127.0.0.1, running on threads of its own from
// construction to destruction. Its certificate names the API host and is signed by a throwaway CA
// that lives as long as the service. A/B answers come from a fixed table: onboarding is active in
// variant_b, search_ranking finished in relevance, dark_mode inactive with server default "off".
// All members may be called from any thread.
class LocalService {
 public:
  // One request as the service received it and the answer it gave.
  struct Exchange {
    std::string method;
    std::string path;  // decoded, with the decoded query after "?" (names sorted)
    std::vector<std::pair<std::string, std::string>> headers;
    std::string requestBody;
    int status = 0;
    std::string responseBody;
  };

  // Listens on `port`, or an ephemeral one for 0; throws std::runtime_error when it cannot.
  explicit LocalService(std::uint16_t port = 0);
  LocalService(const LocalService&) = delete;
  LocalService& operator=(const LocalService&) = delete;
  ~LocalService();

  [[nodiscard]] std::uint16_t port() const noexcept { return port_; }
  [[nodiscard]] const std::string& caFile() const noexcept { return authority_.caFile(); }
  [[nodiscard]] const std::string& apiHost() const noexcept { return apiHost_; }

  // The next request for `path` is answered with `status` instead of being served.
  void failNextRequestTo(std::string path, int status);
  [[nodiscard]] std::vector<Exchange> exchanges() const;
  // (device identifier, test name) of every exposure reported, in order.
  [[nodiscard]] std::vector<std::pair<std::string, std::string>> exposures() const;

 private:
  void route();
  void record(const httplib::Request& request, const httplib::Response& response);
  [[nodiscard]] bool failsNow(const std::string& path, int& status);
  void answerABTest(const httplib::Request& request, httplib::Response& response);
  void answerTaggings(const httplib::Request& request, httplib::Response& response, bool add);

  LocalCertificateAuthority authority_;
  std::string apiHost_;
  std::unique_ptr<httplib::SSLServer> server_;
  std::uint16_t port_ = 0;
  std::thread thread_;

  mutable detail::Mutex mutex_;
  std::vector<Exchange> exchanges_ TAMSENOR_GUARDED_BY(mutex_);
  std::vector<std::pair<std::string, int>> pendingFailures_ TAMSENOR_GUARDED_BY(mutex_);
  std::vector<std::pair<std::string, std::string>> exposures_ TAMSENOR_GUARDED_BY(mutex_);
  // (target key, JSON body) of every tagging added and not removed since.
  std::vector<std::pair<std::string, std::string>> taggings_ TAMSENOR_GUARDED_BY(mutex_);
  std::vector<std::string> termsAcceptances_ TAMSENOR_GUARDED_BY(mutex_);
};

}  // namespace tamsenor::tools
