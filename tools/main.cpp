// tamsenor: the library's command-line client, and a local stand-in for the service.
#include <CLI/CLI.hpp>
#include <charconv>
#include <iostream>
#include <limits>
#include <sstream>
#include <string>
#include <type_traits>

#include "tamsenor/Version.hpp"
#include "tamsenor/endpoints/String.hpp"
#include "tools/Commands.hpp"
#include "tools/UsageError.hpp"

namespace {

using namespace tamsenor::tools;

constexpr int kUsageError = 2;

// CLI11 reads numbers with strtoll and strtoull: "-5" in an unsigned option becomes a huge
// number, text out of range saturates (99999999999999999999 became 9223372036854775807), and a
// leading 0 or 0x switches base. Only a plain decimal in range of the option's type passes, and
// it is handed on without leading zeros so that CLI11 reads it as decimal.
template <class Integer>
CLI::Validator decimal() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        if (std::is_unsigned_v<Integer> && text.starts_with('-')) {
          return text + " is negative, expected 0 or more";
        }
        Integer value{};
        const auto* end = text.data() + text.size();
        const auto [stop, error] = std::from_chars(text.data(), end, value);
        if (error == std::errc::result_out_of_range && stop == end) {
          return text + " is out of range, expected " +
                 std::to_string(std::numeric_limits<Integer>::min()) + " to " +
                 std::to_string(std::numeric_limits<Integer>::max());
        }
        if (text.empty()) return "empty, expected a decimal number";
        if (error != std::errc() || stop != end) {
          return text + " is not a decimal number";
        }
        text = std::to_string(value);
        return {};
      },
      "N");
}

std::string versionNumber() {
  std::ostringstream text;
  text << TamsenorAPIVersionNumber;
  return text.str();
}

template <class Integer>
Integer integer(const std::string& text, const std::string& what) {
  Integer value{};
  const auto* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end) {
    throw UsageError(what + ": " + text + " is not a number in range");
  }
  return value;
}

std::pair<std::string, std::uint16_t> hostAndPort(const std::string& text) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) {
    throw UsageError("--connect-to " + text + ": expected HOST:PORT");
  }
  std::string host = text.substr(0, colon);
  // The session brackets IPv6 addresses itself.
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  return {host, integer<std::uint16_t>(text.substr(colon + 1), "--connect-to port")};
}

void parseRetryStatus(const std::string& text, ClientOptions& options) {
  const auto dash = text.find('-');
  const auto digits = [](std::string_view part) {
    return !part.empty() && part.size() <= 3 &&
           part.find_first_not_of("0123456789") == std::string_view::npos;
  };
  if (dash == std::string::npos || !digits(std::string_view(text).substr(0, dash)) ||
      !digits(std::string_view(text).substr(dash + 1))) {
    throw UsageError("--retry-status " + text + ": expected LO-HI, such as 500-599");
  }
  options.retryLowest = integer<std::int64_t>(text.substr(0, dash), "--retry-status");
  options.retryHighest = integer<std::int64_t>(text.substr(dash + 1), "--retry-status");
  if (options.retryLowest > options.retryHighest) {
    throw UsageError("--retry-status " + text + ": the lower bound is above the upper one");
  }
}

std::pair<std::string, std::string> header(const std::string& text) {
  const auto colon = text.find(':');
  if (colon == std::string::npos || colon == 0) {
    throw UsageError("--header " + text + ": expected \"Name: value\"");
  }
  auto value = text.substr(colon + 1);
  value.erase(0, value.find_first_not_of(" \t"));
  return {text.substr(0, colon), value};
}

void addPin(const std::string& text, ClientOptions& options) {
  const auto equals = text.find('=');
  const auto pin = equals == std::string::npos || equals == 0
                       ? std::nullopt
                       : tamsenor::PublicKeyPin::parse(std::string_view(text).substr(equals + 1));
  if (!pin) {
    throw UsageError("--pin " + text +
                     ": expected HOST=sha256/BASE64, the base64 of a 32-byte SHA-256 hash");
  }
  options.pins[text.substr(0, equals)].push_back(*pin);
}

// One line, so that scripts can show it as it is.
int usageError(std::string message) {
  for (char& c : message) {
    if (c == '\n') c = ' ';
  }
  std::cerr << "tamsenor: " << message << " (see tamsenor --help)\n";
  return kUsageError;
}

void addEndpointOptions(CLI::App& command, EndpointArguments& arguments, bool get) {
  if (get) {
    command.add_option("--id", arguments.id, "research interest id")
        ->transform(decimal<std::int64_t>());
    command.add_option("--page-size", arguments.pageSize, "works per page")
        ->transform(decimal<std::uint64_t>());
    command.add_option("--cursor", arguments.cursor, "where the page starts")
        ->transform(decimal<std::uint64_t>());
    command.add_option("--query", arguments.query, "search text (may be empty)");
    command.add_option("--limit", arguments.limit, "most results of a search")
        ->transform(decimal<std::uint64_t>());
  }
  command.add_option("--type", arguments.type, "tag type of taggings");
  command.add_option("--target", arguments.target, "target type of taggings");
  command.add_option("--target-id", arguments.targetId, "target id of taggings")
      ->transform(decimal<std::int64_t>());
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app(
      "The TamsenorAPI library from the command line. Without --connect-to, requests go "
      "to a local stand-in for the service started for the run.",
      "tamsenor");
  std::string version = TamsenorAPIVersionString;
  if (version.ends_with('\n')) version.pop_back();
  app.set_version_flag("--version", version, "Print the library's version string and exit");
  app.require_subcommand(1);

  ClientOptions options;
  options.userAgent = "tamsenor/" + versionNumber();
  std::optional<std::string> connectTo;
  std::string retryStatus = "500-599";
  std::vector<std::string> headers;
  std::optional<std::string> contentType;
  std::vector<std::string> pins;
  app.add_option("--connect-to", connectTo,
                 "Send every request for the API host to HOST:PORT; TLS still verifies the API "
                 "host name");
  app.add_option("--cacert", options.caFile, "PEM bundle to trust besides the system's CAs");
  app.add_option("--user-agent", options.userAgent, "User-Agent of every request")
      ->capture_default_str();
  app.add_option("--retries", options.retries, "Extra attempts on failure or a retry status")
      ->transform(decimal<std::uint64_t>())
      ->capture_default_str();
  app.add_option("--retry-status", retryStatus, "Status codes LO-HI that are retried")
      ->capture_default_str();
  app.add_option("--header", headers, "\"Name: value\" added to every request when signing")
      ->allow_extra_args(false);
  app.add_option("--max-time", options.maxTime, "Seconds each request may take in all")
      ->check(CLI::PositiveNumber);
  app.add_option("--pin", pins,
                 "HOST=sha256/BASE64: a key HOST's certificate must have (repeatable; see README)")
      ->allow_extra_args(false);
  bool noCompression = false;
  app.add_flag("--no-compression", noCompression,
               "Offer no content coding; answers arrive as sent");
  app.add_flag("--fail-signing", options.failSigning, "Make the signing function fail");
  app.add_option("--content-type", contentType,
                 "Content type of every POST (String::applicationJSON)");
  app.add_flag("-v,--verbose", options.verbose, "Each request and answer line to standard error");

  std::string email;
  auto* signInCommand = app.add_subcommand("sign-in", "Ask for a sign-in link to EMAIL");
  signInCommand->add_option("EMAIL", email, "address (may be empty)")->required();

  std::string guid, testsFile, testName, bucket;
  auto* abCommand = app.add_subcommand("ab", "A/B test buckets");
  abCommand->require_subcommand(1);
  auto* fetchCommand = abCommand->add_subcommand("fetch", "Fetch the buckets of the tests in FILE");
  auto* exposeCommand = abCommand->add_subcommand("expose", "Report that BUCKET of NAME was shown");
  for (auto* command : {fetchCommand, exposeCommand}) {
    command->add_option("--guid", guid, "device identifier")->required();
    command
        ->add_option("--tests", testsFile,
                     "JSON array of {\"name\", \"buckets\", \"defaultBucket\"}")
        ->required();
  }
  exposeCommand->add_option("NAME", testName, "test in FILE")->required();
  exposeCommand->add_option("BUCKET", bucket, "bucket shown")->required();

  std::string endpoint, data;
  EndpointArguments getArguments, postArguments;
  auto* getCommand = app.add_subcommand("get", "Send a V0Endpoint::GET; the body to stdout");
  getCommand->add_option("ENDPOINT", endpoint, "case name, such as research_interests_works")
      ->required();
  addEndpointOptions(*getCommand, getArguments, true);
  auto* postCommand = app.add_subcommand("post", "Send a V0Endpoint::POST; the body to stdout");
  postCommand->add_option("ENDPOINT", endpoint, "case name, such as taggings_add")->required();
  postCommand->add_option("--data", data, "body, or @FILE for a file's bytes")->required();
  addEndpointOptions(*postCommand, postArguments, false);

  auto* demoCommand =
      app.add_subcommand("demo", "Walk through the library against a local service");
  std::uint16_t port = 0;
  auto* serveCommand = app.add_subcommand("serve", "Run the local service until interrupted");
  serveCommand->add_option("--port", port, "port on 127.0.0.1 (default: any free one)")
      ->transform(decimal<std::uint16_t>());
  bool serveJSON = false;
  serveCommand->add_flag("--json", serveJSON,
                         "print only one JSON line: {\"url\", \"caFile\", \"apiBaseURL\"}");

  try {
    app.parse(argc, argv);
    if (connectTo) options.connectTo = hostAndPort(*connectTo);
    parseRetryStatus(retryStatus, options);
    for (const auto& text : headers) options.headers.push_back(header(text));
    for (const auto& text : pins) addPin(text, options);
    options.compression = !noCompression;
    if (contentType) tamsenor::String::applicationJSON() = *contentType;
    if ((*demoCommand || *serveCommand) && connectTo) {
      throw UsageError("--connect-to does not apply to demo and serve");
    }

    if (*signInCommand) return signIn(options, email);
    if (*fetchCommand) return fetchBuckets(options, guid, testsFile);
    if (*exposeCommand) return exposeBucket(options, guid, testsFile, testName, bucket);
    if (*getCommand) return getEndpoint(options, endpoint, getArguments);
    if (*postCommand) return postEndpoint(options, endpoint, postArguments, data);
    if (*demoCommand) return demo(options);
    return serve(port, serveJSON);
  } catch (const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) return app.exit(error);
    return usageError(error.what());
  } catch (const UsageError& error) {
    return usageError(error.what());
  } catch (const std::exception& error) {
    std::cerr << "tamsenor: " << error.what() << '\n';
    return 1;
  }
}
