#pragma once

#include <stdexcept>

namespace tamsenor::tools {

// A command line that cannot be carried out as written; the program exits with status 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace tamsenor::tools
