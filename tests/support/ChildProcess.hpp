#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace tamsenor::testsupport {

struct ChildOutcome {
  int status = -1;  // the exit code, or 128 + the signal that ended the program
  std::string out, err;
};

// Runs argv[0] with `environment` ("NAME=value") ahead of this process's and waits for its end. At
// `stopAfter` it gets SIGTERM, ten seconds later SIGKILL; with `stopOncePrinted`, SIGTERM comes as
// soon as its standard output ends a line (a service that says it is ready).
ChildOutcome runChildProcess(const std::vector<std::string>& argv,
                             const std::vector<std::string>& environment = {},
                             std::chrono::milliseconds stopAfter = std::chrono::seconds(30),
                             bool stopOncePrinted = false);

}  // namespace tamsenor::testsupport
