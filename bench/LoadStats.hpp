#pragma once

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "LoadOptions.hpp"

namespace tamsenor::bench {

// Latencies, counts, process CPU time and peak resident memory of one run.
class LoadStats {
 public:
  void start() {
    latenciesUs_.reserve(1 << 20);
    started_ = std::chrono::steady_clock::now();
    cpuStart_ = cpuSeconds();
  }
  void stop() {
    seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    cpu_ = cpuSeconds() - cpuStart_;
  }
  void record(std::chrono::steady_clock::duration latency, bool ok) {
    latenciesUs_.push_back(std::chrono::duration<double, std::micro>(latency).count());
    if (!ok) ++failed_;
  }

  void print(const LoadOptions& options) {
    std::sort(latenciesUs_.begin(), latenciesUs_.end());
    const auto percentile = [&](double p) {
      if (latenciesUs_.empty()) return 0.0;
      const auto index = static_cast<std::size_t>(p * static_cast<double>(latenciesUs_.size() - 1));
      return latenciesUs_[index];
    };
    const double completed = static_cast<double>(latenciesUs_.size());
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf(
        "mode=%s http=%s concurrency=%zu completed=%zu failed=%zu seconds=%.2f req_per_s=%.0f "
        "cpu_us_per_req=%.1f p50_us=%.0f p99_us=%.0f peak_rss_kb=%ld\n",
        options.mode.c_str(), options.http1 ? "1.1" : "2", options.concurrency, latenciesUs_.size(),
        failed_, seconds_, completed / seconds_, completed > 0 ? cpu_ * 1e6 / completed : 0.0,
        percentile(0.50), percentile(0.99), usage.ru_maxrss);
  }

 private:
  // Children waited for count too: a mode that runs another client as a process is charged its
  // time.
  static double cpuSeconds() {
    double total = 0;
    for (const int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
      rusage usage{};
      getrusage(who, &usage);
      total += static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    return total;
  }

  std::vector<double> latenciesUs_;
  std::size_t failed_ = 0;
  std::chrono::steady_clock::time_point started_;
  double seconds_ = 0;
  double cpuStart_ = 0;
  double cpu_ = 0;
};

}  // namespace tamsenor::bench
