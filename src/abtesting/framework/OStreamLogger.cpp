#include "tamsenor/abtesting/framework/OStreamLogger.hpp"

#include <string>

namespace tamsenor {

void OStreamLogger::log(LogSeverity severity, std::string_view message, std::string_view file,
                        std::string_view function, unsigned line) {
  // The line is built whole first so that it reaches the stream in a single write; a synchronised
  // stream then never interleaves two records.
  std::string text(to_string(severity));
  text += ": ";
  if (location_ == Location::included) {
    text += file;
    text += ':';
    text += std::to_string(line);
    text += ": ";
  }
  text += function;
  text += ": ";
  text += message;
  text += '\n';
  out_.write(text.data(), static_cast<std::streamsize>(text.size()));
  out_.flush();
}

}  // namespace tamsenor
