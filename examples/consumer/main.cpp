#include <iostream>

#include "tamsenor/Version.hpp"
#include "tamsenor/endpoints/V0Endpoint.hpp"

int main() {
  using tamsenor::V0Endpoint::GET;
  const auto record = GET(GET::research_interests_stats{.id = 42}).request();
  std::cout << TamsenorAPIVersionString << record.httpMethod() << ' ' << record.url() << '\n';
  return record.url().absoluteString().ends_with("/v0/research_interests/42/stats") ? 0 : 1;
}
