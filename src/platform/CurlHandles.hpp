#pragma once

#include <curl/curl.h>

#include <memory>

namespace tamsenor::detail {

// Owners of libcurl handles: each frees its handle with the matching cleanup call.
struct EasyDeleter {
  void operator()(CURL* easy) const noexcept { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
  void operator()(CURLM* multi) const noexcept { curl_multi_cleanup(multi); }
};
struct ShareDeleter {
  void operator()(CURLSH* share) const noexcept { curl_share_cleanup(share); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const noexcept { curl_slist_free_all(list); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
using MultiHandle = std::unique_ptr<CURLM, MultiDeleter>;
using ShareHandle = std::unique_ptr<CURLSH, ShareDeleter>;
using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;

// Sets options on one easy handle until the first refusal, and keeps that refusal:
//   EasyOptions set(easy);
//   set(CURLOPT_NOSIGNAL, 1L);
//   if (set.result() != CURLE_OK) ...
class EasyOptions {
 public:
  explicit EasyOptions(CURL* easy) noexcept : easy_(easy) {}

  template <class Value>
  void operator()(CURLoption option, Value value) noexcept {
    if (code_ == CURLE_OK) code_ = curl_easy_setopt(easy_, option, value);
  }
  [[nodiscard]] CURLcode result() const noexcept { return code_; }

 private:
  CURL* easy_;
  CURLcode code_ = CURLE_OK;
};

}  // namespace tamsenor::detail
