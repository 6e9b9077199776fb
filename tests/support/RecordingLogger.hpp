#pragma once

#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "tamsenor/abtesting/framework/Logger.hpp"

namespace tamsenor::testsupport {

// A Logger that keeps every record, in order, for tests to compare exactly.
class RecordingLogger final : public Logger {
 public:
  struct Record {
    LogSeverity severity;
    std::string message;
    std::string file;
    std::string function;
    unsigned line;
  };
  using Triple = std::tuple<LogSeverity, std::string, std::string>;  // severity, message, function

  void log(LogSeverity severity, std::string_view message, std::string_view file,
           std::string_view function, unsigned line) override {
    records_.push_back(
        {severity, std::string(message), std::string(file), std::string(function), line});
  }

  [[nodiscard]] const std::vector<Record>& records() const noexcept { return records_; }

  [[nodiscard]] std::vector<Triple> triples() const {
    std::vector<Triple> all;
    for (const auto& record : records_) {
      all.emplace_back(record.severity, record.message, record.function);
    }
    return all;
  }

  // True when every record names `file` and a real source line.
  [[nodiscard]] bool allFrom(std::string_view file) const {
    for (const auto& record : records_) {
      if (record.file != file || record.line == 0) return false;
    }
    return true;
  }

 private:
  std::vector<Record> records_;
};

}  // namespace tamsenor::testsupport
