#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tamsenor/abtesting/framework/Logger.hpp"

namespace tamsenor::testsupport {

// A Logger that keeps every record, in order, for tests to compare exactly.
class RecordingLogger final : public Logger {
 public:
  struct Record {
    LogSeverity severity;
    std::string message, file, function;
    unsigned line;
  };

  void log(LogSeverity severity, std::string_view message, std::string_view file,
           std::string_view function, unsigned line) override {
    records_.push_back(
        {severity, std::string(message), std::string(file), std::string(function), line});
  }

  [[nodiscard]] const std::vector<Record>& records() const noexcept { return records_; }

 private:
  std::vector<Record> records_;
};

}  // namespace tamsenor::testsupport
