#include "tamsenor/http/URLSessionHTTPClient.hpp"

namespace tamsenor {

std::shared_ptr<URLSessionHTTPClient> URLSessionHTTPClient::create(
    std::shared_ptr<URLSession> session, std::string userAgent) {
  return std::shared_ptr<URLSessionHTTPClient>(
      new URLSessionHTTPClient(std::move(session), std::move(userAgent)));
}

void URLSessionHTTPClient::perform(URLRequest request, Completion completion) {
  // `request` is already the private copy; the caller's record stays as it was.
  // The literal is fixed on purpose: the changeable String::applicationJSON() is the content type
  // of bodies, not what this client accepts.
  request.setValue("application/json", "Accept");
  request.setValue(userAgent_, "User-Agent");
  session_
      ->dataTask(std::move(request),
                 [completion = std::move(completion)](std::optional<Data> body,
                                                      std::shared_ptr<const URLResponse> response,
                                                      std::optional<URLError> error) {
                   completion(classify(std::move(body), std::move(response), std::move(error)));
                 })
      .resume();
}

HTTPClientResult URLSessionHTTPClient::classify(std::optional<Data> body,
                                                std::shared_ptr<const URLResponse> response,
                                                std::optional<URLError> error) {
  if (error) return HTTPClientResult::failure(HTTPClientError::networkError(*std::move(error)));
  if (!body || !response)
    return HTTPClientResult::failure(HTTPClientError::unexpectedResponseType());
  auto http = std::dynamic_pointer_cast<const HTTPURLResponse>(std::move(response));
  if (!http) return HTTPClientResult::failure(HTTPClientError::unexpectedResponseType());
  return HTTPClientResult::success({*std::move(body), std::move(http)});
}

}  // namespace tamsenor
