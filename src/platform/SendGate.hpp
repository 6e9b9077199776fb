#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/ConnectionSockets.hpp"
#include "platform/CurlHandles.hpp"
#include "platform/EasyHandlePool.hpp"
#include "tamsenor/platform/URLError.hpp"

namespace tamsenor::detail {

// Decides, each time libcurl is about to put a request on a connection, whether it may go. It
// goes once, never onto a kept-alive HTTP/1 connection that the server closed or wrote to while
// idle, and again only where the server cannot have processed it, or where the method is
// idempotent (RFC 9110, section 9.2.2) and has not been sent again yet. libcurl 7.88 resends on
// its own without saying why; the gate stops every such resend and says how the transfer is to
// run again, on a fresh handle, or why it must fail. One gate per transfer, on the loop thread.
class SendGate {
 public:
  enum class Rerun : std::uint8_t {
    no,
    asBefore,           // the server refused the HTTP/2 stream, so never processed it
    onFreshConnection,  // the idle connection was stale, or died before answering an idempotent
    overHTTP1,          // the server demanded HTTP/1.1 (RST_STREAM HTTP_1_1_REQUIRED)
  };

  static void installOn(EasyOptions& set);
  // Readies a run of the transfer on `handle`. `mayMultiplex`: the connection may speak HTTP/2.
  void start(EasyHandlePool::Handle& handle, ConnectionSockets& sockets, std::string_view method,
             bool mayMultiplex);

  // libcurl ended the run with `code`; `answered`: a byte of an answer had come. Afterwards
  // rerun() says how to run again, and stopped() whether the gate ended the run for good, with
  // refusal() as the error.
  void finish(CURLcode code, bool answered);
  [[nodiscard]] Rerun rerun() const noexcept { return rerun_; }
  [[nodiscard]] bool stopped() const noexcept { return stopped_; }
  [[nodiscard]] URLError refusal() const;
  // Whether this was the first run and libcurl put the request on a connection once at most:
  // then the handle holds nothing of the transfer that another could trip on.
  [[nodiscard]] bool ranOnce() const noexcept { return runs_ == 1 && sends_ <= 1; }
  [[nodiscard]] bool idempotent() const noexcept { return idempotent_; }

 private:
  static int onSend(void* handle, char* peerAddress, char* localAddress, int peerPort,
                    int localPort) noexcept;
  bool mayGo(const char* peerAddress, const char* localAddress, int peerPort, int localPort);
  Rerun afterLoss();
  Rerun afterRefusal();
  bool speaksHTTP2() const;

  CURL* easy_ = nullptr;
  ConnectionSockets* sockets_ = nullptr;
  const char* errorBuffer_ = nullptr;
  long connects_ = 0;  // connections libcurl had opened for this run by the last send
  int runs_ = 0;
  int sends_ = 0;
  Rerun rerun_ = Rerun::no;
  bool idempotent_ = false;
  bool mayMultiplex_ = false;
  bool http2_ = false;  // the connection of the last send spoke HTTP/2
  bool resentAfterLoss_ = false;
  bool refusedTooOften_ = false;
  bool stopped_ = false;
  std::string loss_;  // what libcurl said of the send it gave up, if anything
};

}  // namespace tamsenor::detail
