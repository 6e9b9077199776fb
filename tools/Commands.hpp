#pragma once

#include <cstdint>
#include <string>

#include "tools/ClientOptions.hpp"
#include "tools/EndpointArguments.hpp"

// The subcommands of the tamsenor program. Each returns the exit status: 0 on success (for get
// and post: an HTTP answer of any status arrived), 1 on a library failure; a usage error throws
// UsageError before anything is sent. Standard output gets one JSON document (get and post: the
// body as received), standard error the library's records one per line.
namespace tamsenor::tools {

int signIn(const ClientOptions& options, const std::string& email);
int fetchBuckets(const ClientOptions& options, const std::string& guid,
                 const std::string& testsFile);
int exposeBucket(const ClientOptions& options, const std::string& guid,
                 const std::string& testsFile, const std::string& testName,
                 const std::string& bucket);
int getEndpoint(const ClientOptions& options, const std::string& caseName,
                const EndpointArguments& arguments);
// `data` is the body, or "@path" for the bytes of a file.
int postEndpoint(const ClientOptions& options, const std::string& caseName,
                 const EndpointArguments& arguments, const std::string& data);
// A walk through the library against a local service, in plain text.
int demo(const ClientOptions& options);
// Runs a local service on `port` (0: ephemeral) until SIGINT or SIGTERM; with `json`, prints
// its URL and CA file as one JSON line for scripts instead of the text for people.
int serve(std::uint16_t port, bool json);

}  // namespace tamsenor::tools
