#include "tools/StderrLogger.hpp"

#include <iostream>
#include <string>

namespace tamsenor::tools {

void StderrLogger::log(LogSeverity severity, std::string_view message, std::string_view,
                       std::string_view function, unsigned) {
  std::string text(to_string(severity));
  text.append(" ").append(function).append(" ").append(message).append("\n");
  std::cerr << text << std::flush;
}

}  // namespace tamsenor::tools
