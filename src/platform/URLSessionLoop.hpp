#pragma once

#include <curl/curl.h>
#include <openssl/x509.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/ProxySetting.hpp"
#include "tamsenor/platform/URLSessionConfiguration.hpp"
#include "tamsenor/platform/URLSessionDataTask.hpp"

namespace tamsenor::detail {

// The libcurl multi event loop behind a URLSession. run() is the body of the session's thread:
// every libcurl call and every handler happens there, and it returns once the session is released
// or invalidated and nothing is left in flight. The other calls may come from any thread.
class URLSessionLoop {
 public:
  using Handler = URLSessionDataTask::Handler;

  explicit URLSessionLoop(URLSessionConfiguration configuration);  // throws std::bad_alloc
  URLSessionLoop(const URLSessionLoop&) = delete;
  URLSessionLoop& operator=(const URLSessionLoop&) = delete;
  ~URLSessionLoop();

  // Once invalidated, the handler runs at once on the calling thread with URLError::cancelled.
  void enqueue(URLRequest request, Handler handler);
  // The session's last owner is gone: no task can be submitted any more.
  void release();
  // Refuses new tasks; with `cancel`, completes the queued and running ones now. Off the loop
  // thread, waits until run() has returned.
  void invalidate(bool cancel);
  void run();

 private:
  struct Transfer;
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
  struct X509Deleter {
    void operator()(X509* certificate) const noexcept { X509_free(certificate); }
  };
  using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;
  using HeaderList = std::unique_ptr<curl_slist, SlistDeleter>;
  // An easy handle with the session's fixed options set once, and the storage that its request
  // header list lives in. Both are reused from one request to the next.
  struct Handle {
    EasyHandle easy;
    std::string headerText;
    std::vector<curl_slist> headerList;
  };

  void start(std::unique_ptr<Transfer> transfer);
  std::unique_ptr<Handle> takeHandle(CURLcode& failure);
  void recycle(std::unique_ptr<Handle> handle);
  std::optional<URLError> configure(Transfer& transfer);
  void collectFinished();
  void finish(Transfer& transfer, CURLcode code);
  void detach(Transfer& transfer);
  void cancelEverything(std::vector<std::unique_ptr<Transfer>>& queued);
  void deliverFinished();
  void deliver(Handler& handler, std::optional<Data> body,
               std::shared_ptr<const URLResponse> response, std::optional<URLError> error);
  bool mayEnd();
  int waitMilliseconds() const;
  void wakeUpLocked();
  void tearDown();
  void loadAdditionalCAs(const std::string& path);

  static size_t onBody(char* data, size_t size, size_t count, void* user) noexcept;
  static size_t onHeader(char* data, size_t size, size_t count, void* user) noexcept;
  static CURLcode onSSLContext(CURL* easy, void* context, void* user) noexcept;
  static int onSend(void* user, char*, char*, int, int) noexcept;

  URLSessionConfiguration configuration_;
  std::string protocols_;  // CURLOPT_PROTOCOLS_STR
  HeaderList connectTo_;
  std::vector<std::unique_ptr<X509, X509Deleter>> additionalCAs_;
  std::optional<URLError> additionalCAsError_;
  std::optional<ProxySetting> proxy_;
  std::optional<URLError> proxyError_;  // fails every request of the session

  // Declared before the handles that use them, so they are cleaned up after them.
  std::unique_ptr<CURLSH, ShareDeleter> share_;
  std::unique_ptr<CURLM, MultiDeleter> multi_;
  std::vector<std::unique_ptr<Handle>> idleHandles_;
  std::vector<std::unique_ptr<Transfer>> active_;    // added to multi_
  std::vector<std::unique_ptr<Transfer>> finished_;  // waiting for their handlers

  std::mutex mutex_;  // guards the fields below
  std::vector<std::unique_ptr<Transfer>> submitted_;
  bool released_ = false;
  bool invalidated_ = false;
  bool cancelling_ = false;
  bool ending_ = false;  // run() is past its last look at the queue
  bool ended_ = false;   // and has freed everything
  std::condition_variable endedChanged_;
  // Submissions from handlers on the loop thread need no wake-up: the loop looks at the queue
  // again before it waits.
  std::thread::id loopThread_;
};

}  // namespace tamsenor::detail
