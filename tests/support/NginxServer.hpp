#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/APIHost.hpp"
#include "support/FaultServer.hpp"
#include "tamsenor/platform/URLSessionConfiguration.hpp"
#include "tools/LocalCertificateAuthority.hpp"

namespace tamsenor::testsupport {

// A real nginx (Debian's nginx-light and its echo module) on three ephemeral loopback ports:
// plain HTTP/1.1, TLS with HTTP/1.1 only, and TLS with HTTP/2, under a certificate for the API
// host from a throwaway CA. Every path answers GET and POST with kAnswer once it has read the whole
// request body. One process without a master, its files in the CA's temporary folder, stopped by
// its PID in the destructor; it also gets SIGKILL when the thread that created it ends, so create
// and destroy it on one thread. Throws std::runtime_error when nginx cannot start.
class NginxServer {
 public:
  enum class Listener { plain, tls, http2 };
  static constexpr std::string_view kAnswer = "answered by nginx";

  // nginx's own defaults are 75 s and 1000 requests.
  explicit NginxServer(int keepaliveTimeoutSeconds = 1, int keepaliveRequests = 5) {
    // Ports are chosen free and released before nginx binds them; one taken in between shows as
    // a failed bind, and another set is tried.
    for (int tries = 0; !start(keepaliveTimeoutSeconds, keepaliveRequests); ++tries) {
      if (tries == 5) throw std::runtime_error("NginxServer: no free ports after 5 tries");
    }
  }
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;
  ~NginxServer() { stop(); }

  // What a session needs to reach `listener`: https ones are the API host, sent there by a host
  // override and trusted through the throwaway CA.
  [[nodiscard]] URLSessionConfiguration configuration(Listener listener) const {
    URLSessionConfiguration configuration;
    configuration.allowedSchemes = {listener == Listener::plain ? "http" : "https"};
    configuration.http2 = listener == Listener::http2;
    if (listener == Listener::plain) return configuration;
    configuration.additionalCABundlePath = authority_.caFile();
    configuration.hostOverrides = {
        {apiHost().host, apiHost().port, "127.0.0.1", ports_[static_cast<int>(listener)]}};
    return configuration;
  }
  [[nodiscard]] URL url(Listener listener, std::string_view path) const {
    if (listener != Listener::plain) return apiBaseURL().appendingPathComponent(path);
    return *URL::parse("http://127.0.0.1:" + std::to_string(ports_[0]) + "/" + std::string(path));
  }
  // The access log, one line per request: "<X-Tag> <method> <status> <protocol> <body or ->",
  // read once it holds `count` lines or a second has passed.
  [[nodiscard]] std::vector<std::string> accessLog(std::size_t count) const {
    std::vector<std::string> lines;
    for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);;) {
      std::istringstream log(read("access.log"));
      lines.clear();
      for (std::string line; std::getline(log, line);) lines.push_back(line);
      if (lines.size() >= count || std::chrono::steady_clock::now() >= deadline) return lines;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

 private:
  std::string read(const std::string& name) const {
    std::ifstream in(authority_.folder() / name);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  bool start(int keepaliveTimeoutSeconds, int keepaliveRequests) {  // false: a port was taken
    int sockets[3];
    for (int i = 0; i < 3; ++i) sockets[i] = boundLoopbackSocket(ports_[i]);
    for (const int fd : sockets) ::close(fd);
    const auto issued = authority_.issue(apiHost().host);
    // Relative paths are in the folder, nginx's prefix.
    std::ofstream(authority_.folder() / "nginx.conf")
        << "load_module /usr/lib/nginx/modules/ngx_http_echo_module.so;\n"
           "daemon off; master_process off; pid nginx.pid; error_log error.log notice;\n"
           "events { worker_connections 4096; }\nhttp {\n"
           "  log_format tagged '$http_x_tag $request_method $status $server_protocol "
           "$request_body';\n  access_log access.log tagged;\n"
           "  client_body_temp_path body; proxy_temp_path proxy; fastcgi_temp_path fastcgi;\n"
           "  uwsgi_temp_path uwsgi; scgi_temp_path scgi;\n"
        << "  keepalive_timeout " << keepaliveTimeoutSeconds << "s; keepalive_requests "
        << keepaliveRequests << ";\n  server {\n    listen 127.0.0.1:" << ports_[0]
        << ";\n    listen 127.0.0.1:" << ports_[1] << " ssl;\n    listen 127.0.0.1:" << ports_[2]
        << " ssl http2;\n    ssl_certificate " << issued.certificateFile
        << ";\n    ssl_certificate_key " << issued.keyFile
        << ";\n    default_type text/plain;\n    location / { echo_read_request_body; echo -n '"
        << kAnswer << "'; }\n  }\n}\n";

    const std::string folder = authority_.folder().string(), errorLog = folder + "/error.log";
    const char* argv[] = {"/usr/sbin/nginx", "-p", folder.c_str(),   "-c",
                          "nginx.conf",      "-e", errorLog.c_str(), nullptr};
    std::filesystem::remove(authority_.folder() / "nginx.pid");
    if ((pid_ = ::fork()) == 0) {  // only async-signal-safe calls until exec
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      const int out = ::open(errorLog.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      ::dup2(out, 1);
      ::dup2(out, 2);
      ::execv(argv[0], const_cast<char* const*>(argv));
      ::_exit(127);
    }
    // nginx writes its PID file once every listener is listening: from then on each port accepts.
    for (int waited = 0; pid_ > 0 && waited < 1000; ++waited) {  // 10 s
      if (int status = 0; ::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        if (read("error.log").find("Address already in use") != std::string::npos) return false;
        throw std::runtime_error("NginxServer: nginx ended at start:\n" + read("error.log"));
      }
      if (std::stol("0" + read("nginx.pid")) == pid_) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stop();
    throw std::runtime_error("NginxServer: nginx did not start within 10 s");
  }

  void stop() noexcept {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0, waited = 0;
    for (; waited < 500 && ::waitpid(pid_, &status, WNOHANG) == 0; ++waited) {  // 5 s
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (waited == 500 && ::kill(pid_, SIGKILL) == 0) ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

  tools::LocalCertificateAuthority authority_;
  std::uint16_t ports_[3] = {};  // in Listener order
  pid_t pid_ = -1;
};

}  // namespace tamsenor::testsupport
