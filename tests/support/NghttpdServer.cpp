#include "support/NghttpdServer.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

extern char** environ;

namespace tamsenor::testsupport {

NghttpdServer::NghttpdServer(const std::string& keyFile, const std::string& certificateFile,
                             const std::string& documentRoot, const std::string& logFile)
    : logFile_(logFile) {
  // Port 0: the kernel picks a free port, which is then read back from the child's own socket.
  std::vector<std::string> arguments{
      "nghttpd", "--address=127.0.0.1", "--htdocs=" + documentRoot, "--verbose", "0",
      keyFile,   certificateFile};
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  const int spawned = posix_spawnp(&pid_, "nghttpd", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::runtime_error("NghttpdServer: cannot start nghttpd");

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while ((port_ = findListeningPort()) == 0) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      throw std::runtime_error("NghttpdServer: nghttpd exited; see " + logFile);
    }
    if (std::chrono::steady_clock::now() > deadline) {
      throw std::runtime_error("NghttpdServer: nghttpd not listening after 10 s");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

NghttpdServer::~NghttpdServer() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
}

std::uint16_t NghttpdServer::findListeningPort() const {
  // The child's sockets by inode, then the listening IPv4 socket with one of those inodes.
  std::set<std::string> inodes;
  const std::string fdFolder = "/proc/" + std::to_string(pid_) + "/fd";
  if (DIR* folder = ::opendir(fdFolder.c_str())) {
    while (dirent* entry = ::readdir(folder)) {
      char target[256];
      const std::string link = fdFolder + "/" + entry->d_name;
      const auto length = ::readlink(link.c_str(), target, sizeof target - 1);
      if (length <= 0) continue;
      const std::string text(target, static_cast<std::size_t>(length));
      if (text.starts_with("socket:[")) inodes.insert(text.substr(8, text.size() - 9));
    }
    ::closedir(folder);
  }
  std::ifstream table("/proc/" + std::to_string(pid_) + "/net/tcp");
  std::string line;
  std::getline(table, line);  // column titles
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
        timeout >> inode;
    if (state == "0A" && inodes.contains(inode)) {
      return static_cast<std::uint16_t>(std::stoul(local.substr(local.find(':') + 1), nullptr, 16));
    }
  }
  return 0;
}

std::size_t NghttpdServer::connectionCount() const {
  // Every line about a connection starts with "[id=N]", N numbering the connections.
  std::ifstream log(logFile_);
  std::set<std::string> ids;
  std::string line;
  while (std::getline(log, line)) {
    if (!line.starts_with("[id=")) continue;
    const auto end = line.find(']');
    if (end != std::string::npos) ids.insert(line.substr(4, end - 4));
  }
  return ids.size();
}

std::size_t NghttpdServer::requestCount() const {
  std::ifstream log(logFile_);
  std::size_t count = 0;
  std::string line;
  while (std::getline(log, line)) {
    if (line.find("] recv (stream_id=") != std::string::npos &&
        line.find(") :path: ") != std::string::npos) {
      ++count;
    }
  }
  return count;
}

}  // namespace tamsenor::testsupport
