#pragma once

#include <future>
#include <string>
#include <utility>
#include <vector>

#include "tamsenor/abtesting/framework/ABTestService.hpp"
#include "tamsenor/http/Async.hpp"

namespace tamsenor {

// Any ABTestService's calls as futures and as co_await (tamsenor/http/Async.hpp).

template <class Error>
[[nodiscard]] Awaitable<typename ABTestService<Error>::FetchResult> fetchBucketsForTests(
    ABTestService<Error>& service, std::vector<ABTest> tests) {
  using Service = ABTestService<Error>;
  return Awaitable<typename Service::FetchResult>(
      [&service, tests = std::move(tests)](typename Service::FetchCompletion completion) mutable {
        service.fetchBucketsForTests(std::move(tests), std::move(completion));
      });
}

template <class Error>
[[nodiscard]] std::future<typename ABTestService<Error>::FetchResult> fetchBucketsForTests(
    ABTestService<Error>& service, std::vector<ABTest> tests, UseFuture) {
  using Service = ABTestService<Error>;
  return detail::startWithFuture<typename Service::FetchResult>(
      [&](typename Service::FetchCompletion completion) {
        service.fetchBucketsForTests(std::move(tests), std::move(completion));
      });
}

template <class Error>
[[nodiscard]] Awaitable<typename ABTestService<Error>::ExposeResult> exposeBucket(
    ABTestService<Error>& service, std::string bucket, ABTest test) {
  using Service = ABTestService<Error>;
  return Awaitable<typename Service::ExposeResult>(
      [&service, bucket = std::move(bucket),
       test = std::move(test)](typename Service::ExposeCompletion completion) mutable {
        service.exposeBucket(std::move(bucket), std::move(test), std::move(completion));
      });
}

template <class Error>
[[nodiscard]] std::future<typename ABTestService<Error>::ExposeResult> exposeBucket(
    ABTestService<Error>& service, std::string bucket, ABTest test, UseFuture) {
  using Service = ABTestService<Error>;
  return detail::startWithFuture<typename Service::ExposeResult>(
      [&](typename Service::ExposeCompletion completion) {
        service.exposeBucket(std::move(bucket), std::move(test), std::move(completion));
      });
}

}  // namespace tamsenor
