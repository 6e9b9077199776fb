#include "support/ChildProcess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <thread>
#include <utility>

extern char** environ;

namespace tamsenor::testsupport {

namespace {

void closeIfOpen(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
  int outPipe[2];
  int errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) throw std::runtime_error("ChildProcess: pipe");
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    throw std::runtime_error("ChildProcess: pipe");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const int spawned = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(outPipe[1]);
  close(errPipe[1]);
  out_ = outPipe[0];
  err_ = errPipe[0];
  if (spawned != 0) {
    closeIfOpen(out_);
    closeIfOpen(err_);
    pid_ = -1;
    throw std::runtime_error("ChildProcess: cannot start " + argv.at(0));
  }
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    Outcome ignored;
    reap(ignored, std::chrono::steady_clock::now());
  }
  closeIfOpen(out_);
  closeIfOpen(err_);
}

ChildProcess::Outcome ChildProcess::run(const std::vector<std::string>& argv,
                                        std::chrono::milliseconds timeout) {
  ChildProcess child(argv);
  return child.wait(timeout);
}

bool ChildProcess::pump(std::chrono::steady_clock::time_point deadline) {
  pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0 || (out_ < 0 && err_ < 0)) return false;
  if (poll(fds, 2, static_cast<int>(left.count())) <= 0) return false;
  char buffer[4096];
  for (auto [fd, buffered] : {std::pair{&out_, &outBuffer_}, std::pair{&err_, &errBuffer_}}) {
    const auto& entry = fds[fd == &out_ ? 0 : 1];
    if (*fd < 0 || entry.revents == 0) continue;
    const auto n = read(*fd, buffer, sizeof buffer);
    if (n <= 0) {
      closeIfOpen(*fd);
    } else {
      buffered->append(buffer, static_cast<std::size_t>(n));
    }
  }
  return true;
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto end = outBuffer_.find('\n');
    if (end != std::string::npos) {
      std::string line = outBuffer_.substr(0, end);
      outBuffer_.erase(0, end + 1);
      return line;
    }
    if (out_ < 0 || !pump(deadline)) return std::nullopt;
  }
}

ChildProcess::Outcome ChildProcess::wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while ((out_ >= 0 || err_ >= 0) && pump(deadline)) {
  }
  Outcome outcome;
  reap(outcome, deadline);
  outcome.out = std::exchange(outBuffer_, {});
  outcome.err = std::exchange(errBuffer_, {});
  return outcome;
}

void ChildProcess::reap(Outcome& outcome, std::chrono::steady_clock::time_point deadline) {
  int status = 0;
  pid_t done = 0;
  while ((done = waitpid(pid_, &status, WNOHANG)) == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const bool killed = done == 0;
  if (killed) {
    kill(pid_, SIGKILL);
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  pid_ = -1;
  if (killed) {
    outcome.exitStatus = -1;
  } else if (WIFEXITED(status)) {
    outcome.exitStatus = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    outcome.exitStatus = 128 + WTERMSIG(status);
  }
}

}  // namespace tamsenor::testsupport
