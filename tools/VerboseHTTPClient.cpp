#include "tools/VerboseHTTPClient.hpp"

#include <iostream>
#include <string>

namespace tamsenor::tools {

std::shared_ptr<VerboseHTTPClient> VerboseHTTPClient::create(std::shared_ptr<HTTPClient> next) {
  return std::shared_ptr<VerboseHTTPClient>(new VerboseHTTPClient(std::move(next)));
}

void VerboseHTTPClient::perform(URLRequest request, Completion completion) {
  std::cerr << "> " + request.httpMethod() + " " + request.url().absoluteString() + "\n"
            << std::flush;
  next_->perform(std::move(request), [completion = std::move(completion)](HTTPClientResult result) {
    if (result) {
      std::cerr << "< HTTP " + std::to_string(result.value().response().statusCode()) + "\n";
    } else {
      std::cerr << "< error " + to_string(result.error()) + "\n";
    }
    std::cerr << std::flush;
    completion(std::move(result));
  });
}

}  // namespace tamsenor::tools
