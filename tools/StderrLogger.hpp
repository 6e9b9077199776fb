#pragma once

#include "tamsenor/abtesting/framework/Logger.hpp"

namespace tamsenor::tools {

// Writes each record to standard error as one line, "<severity> <function> <message>", in a
// single write.
class StderrLogger final : public Logger {
 public:
  void log(LogSeverity severity, std::string_view message, std::string_view file,
           std::string_view function, unsigned line) override;
};

}  // namespace tamsenor::tools
