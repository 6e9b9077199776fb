#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tamsenor/Export.hpp"
#include "tamsenor/http/HTTPClient.hpp"

namespace tamsenor::testing {

// A client under test, fresh for each check: a request it will answer, and settle(), which makes
// every request started so far answer (respond on a fake beneath it, run an event loop, wait for
// a server). settle may be empty when the client answers inside perform().
struct ConformanceSubject {
  std::shared_ptr<HTTPClient> client;
  URLRequest request;
  std::function<void()> settle;
};

// Checks the promises every HTTPClient keeps: each completion runs at most once (and, while the
// client is held, exactly once after settle()), the caller's record is unchanged by perform(),
// several requests may be in flight at once, and a completion may call perform() again. Returns
// one readable line per violation, empty when there is none, so any test framework can use it:
//   EXPECT_THAT(checkHTTPClientConformance(makeSubject), ::testing::IsEmpty());
[[nodiscard]] TAMSENOR_EXPORT std::vector<std::string> checkHTTPClientConformance(
    const std::function<ConformanceSubject()>& makeSubject);

// The same for a client that wraps another: wrap() is given a ScriptedHTTPClient to wrap, once
// answering inside perform() and once later from another thread. Also checks that the wrapped
// client's answer reaches the caller unchanged, so wrap() must build a wrapper that sends.
[[nodiscard]] TAMSENOR_EXPORT std::vector<std::string> checkHTTPClientWrapperConformance(
    const std::function<std::shared_ptr<HTTPClient>(std::shared_ptr<HTTPClient> wrapped)>& wrap);

}  // namespace tamsenor::testing
