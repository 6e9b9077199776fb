#pragma once

#include <ostream>

#include "tamsenor/Export.hpp"
#include "tamsenor/abtesting/framework/Logger.hpp"

namespace tamsenor {

// Writes one line per record: "<severity>: <function>: <message>", or with Location::included
// "<severity>: <file>:<line>: <function>: <message>". The stream is borrowed and must outlive the
// logger. Each line goes out in one write, but nothing is locked: give threads that log at the
// same time a synchronised stream (std::osyncstream) or a logger each.
//   auto logger = std::make_shared<tamsenor::OStreamLogger>(std::clog);
class TAMSENOR_EXPORT OStreamLogger final : public Logger {
 public:
  enum class Location { omitted, included };

  explicit OStreamLogger(std::ostream& out, Location location = Location::omitted)
      : out_(out), location_(location) {}

  void log(LogSeverity severity, std::string_view message, std::string_view file,
           std::string_view function, unsigned line) override;

 private:
  std::ostream& out_;
  Location location_;
};

}  // namespace tamsenor
