#include "support/ChildProcess.hpp"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

namespace tamsenor::testsupport {

ChildOutcome runChildProcess(const std::vector<std::string>& argv,
                             const std::vector<std::string>& environment,
                             std::chrono::milliseconds stopAfter, bool stopOncePrinted) {
  // The outputs go to unnamed files, so that nothing has to drain them while the program runs.
  std::FILE* files[2] = {std::tmpfile(), std::tmpfile()};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (const int fd : {1, 2}) posix_spawn_file_actions_adddup2(&actions, fileno(files[fd - 1]), fd);
  std::vector<char*> args, variables;  // getenv() takes a name's first entry: the given ones win
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  for (const auto& variable : environment) variables.push_back(const_cast<char*>(variable.c_str()));
  for (char** variable = environ; *variable; ++variable) variables.push_back(*variable);
  args.push_back(nullptr);
  variables.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), variables.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::runtime_error("runChildProcess: cannot start " + argv.at(0));

  int status = 0;
  pid_t ended = 0;
  const auto started = std::chrono::steady_clock::now();
  // fstat() and pread() leave alone the offset that the program's writes share with this process.
  const auto printedALine = [out = fileno(files[0])] {
    struct stat file {};
    char last = 0;
    return fstat(out, &file) == 0 && file.st_size > 0 &&
           pread(out, &last, 1, file.st_size - 1) == 1 && last == '\n';
  };
  for (bool stopping = false; (ended = waitpid(pid, &status, WNOHANG)) == 0; usleep(5000)) {
    const auto elapsed = std::chrono::steady_clock::now() - started;
    if (!stopping && (elapsed >= stopAfter || (stopOncePrinted && printedALine()))) {
      stopping = kill(pid, SIGTERM) == 0;
    }
    if (elapsed >= stopAfter + std::chrono::seconds(10)) kill(pid, SIGKILL);
  }
  if (ended != pid) throw std::runtime_error("runChildProcess: waitpid failed");
  ChildOutcome outcome{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), "", ""};
  for (auto [file, text] : {std::pair{files[0], &outcome.out}, {files[1], &outcome.err}}) {
    std::rewind(file);
    for (int c = 0; (c = std::fgetc(file)) != EOF;) text->push_back(static_cast<char>(c));
    std::fclose(file);
  }
  return outcome;
}

}  // namespace tamsenor::testsupport
