#pragma once

#include <ostream>
#include <string_view>

#include "tamsenor/Export.hpp"

namespace tamsenor {

enum class LogSeverity { warning, error };

// "warning", "error".
[[nodiscard]] TAMSENOR_EXPORT std::string_view to_string(LogSeverity severity) noexcept;
TAMSENOR_EXPORT std::ostream& operator<<(std::ostream& out, LogSeverity severity);

// Where anomalies go. Implementations provide log(); error() and warning() are shorthands every
// logger has. The views are valid during the call only. Calls may come from any thread that
// delivers HTTP answers; an implementation shared by such threads must cope with that itself.
class TAMSENOR_EXPORT Logger {
 public:
  Logger() = default;
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;
  virtual ~Logger() = default;

  virtual void log(LogSeverity severity, std::string_view message, std::string_view file,
                   std::string_view function, unsigned line) = 0;

  void error(std::string_view message, std::string_view file, std::string_view function,
             unsigned line) {
    log(LogSeverity::error, message, file, function, line);
  }
  void warning(std::string_view message, std::string_view file, std::string_view function,
               unsigned line) {
    log(LogSeverity::warning, message, file, function, line);
  }
};

}  // namespace tamsenor
