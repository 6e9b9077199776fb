#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tamsenor::testsupport {

// A program started with posix_spawn, its standard output and error on pipes and its input on
// /dev/null. Every wait is bounded; a child still running at a deadline or at destruction is
// killed (by its PID only) and reaped.
class ChildProcess {
 public:
  struct Outcome {
    int exitStatus = -1;  // the exit code; 128 + signal when killed; -1 when the deadline passed
    std::string out;
    std::string err;
  };

  explicit ChildProcess(const std::vector<std::string>& argv);  // throws std::runtime_error
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  // Runs `argv` to its end, or kills it after `timeout`.
  [[nodiscard]] static Outcome run(const std::vector<std::string>& argv,
                                   std::chrono::milliseconds timeout = std::chrono::seconds(30));

  [[nodiscard]] pid_t pid() const noexcept { return pid_; }
  // The next line of standard output without its line feed; nothing at end of output or timeout.
  [[nodiscard]] std::optional<std::string> readLine(std::chrono::milliseconds timeout);
  // Reads both outputs to their end and reaps the child.
  [[nodiscard]] Outcome wait(std::chrono::milliseconds timeout);

 private:
  bool pump(std::chrono::steady_clock::time_point deadline);  // false: nothing more to read
  // Waits for the child until `deadline`, then kills it.
  void reap(Outcome& outcome, std::chrono::steady_clock::time_point deadline);

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string outBuffer_;
  std::string errBuffer_;
};

}  // namespace tamsenor::testsupport
