#include "tamsenor/abtesting/framework/Logger.hpp"

namespace tamsenor {

std::string_view to_string(LogSeverity severity) noexcept {
  switch (severity) {
    case LogSeverity::warning:
      return "warning";
    case LogSeverity::error:
      return "error";
  }
  return "unknown";
}

std::ostream& operator<<(std::ostream& out, LogSeverity severity) {
  return out << to_string(severity);
}

}  // namespace tamsenor
