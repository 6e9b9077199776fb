#include "tools/ClientStack.hpp"

#include "tamsenor/endpoints/APIBaseURL.hpp"
#include "tamsenor/http/URLSessionHTTPClient.hpp"
#include "tools/VerboseHTTPClient.hpp"

namespace tamsenor::tools {

ClientStack ClientStack::create(const ClientOptions& options, std::string connectHost,
                                std::uint16_t connectPort, std::optional<std::string> caFile) {
  URLSessionConfiguration configuration;
  configuration.additionalCABundlePath = std::move(caFile);
  configuration.timeoutIntervalForResource = options.maxTime;
  configuration.publicKeyPins = options.pins;
  configuration.decompressesResponses = options.compression;
  configuration.hostOverrides.push_back({.host = std::string(apiBaseURL().host()),
                                         .port = 0,
                                         .connectHost = std::move(connectHost),
                                         .connectPort = connectPort});
  auto session = URLSession::create(std::move(configuration));

  std::shared_ptr<HTTPClient> client = URLSessionHTTPClient::create(session, options.userAgent);
  if (options.verbose) client = VerboseHTTPClient::create(std::move(client));

  client = client->withAuthentication(
      [headers = options.headers, fail = options.failSigning](URLRequest request) {
        using Signed = Result<URLRequest, SigningFailure>;
        if (fail) return Signed::failure(SigningFailure{});
        for (const auto& [name, value] : headers) request.setValue(value, name);
        return Signed::success(std::move(request));
      });
  client = client->withRetries(options.retries,
                               StatusCodeRange(options.retryLowest, options.retryHighest));
  return {std::move(session), std::move(client)};
}

}  // namespace tamsenor::tools
