#include "platform/Transfer.hpp"

#include <new>
#include <string>
#include <vector>

namespace tamsenor::detail {

namespace {

// Exactly the record's fields go out. Empty "Name:" entries switch off what libcurl would add on
// its own; "Name;" is libcurl's way to send a field with an empty value. libcurl only walks the
// list, so it is laid out in storage the handle keeps rather than allocated line by line. Lines
// are separated by NUL, which no validated name or value holds.
void fillHeaderList(std::string& text, std::vector<curl_slist>& list, const URLRequest& request,
                    bool sendsBody) {
  text.clear();
  for (const auto& [name, value] : request.allHTTPHeaderFields()) {
    text += name;
    // libcurl reads "Name:" followed by blanks alone as "remove this field"; "Name;" sends it
    // empty, which is what a receiver makes of blanks anyway (they are optional white space).
    if (value.find_first_not_of(" \t") == std::string::npos) {
      text += ';';
    } else {
      text += ": ";
      text += value;
    }
    text += '\0';
  }
  if (!request.value("Accept")) text.append("Accept:", sizeof "Accept:");
  if (sendsBody && !request.value("Content-Type"))
    text.append("Content-Type:", sizeof "Content-Type:");
  text.append("Expect:", sizeof "Expect:");

  list.clear();
  for (std::size_t at = 0; at < text.size(); at = text.find('\0', at) + 1) {
    list.push_back(curl_slist{text.data() + at, nullptr});
  }
  for (std::size_t i = 0; i + 1 < list.size(); ++i) list[i].next = &list[i + 1];
}

// How a request sends its method and body; a handle that sent the last one the same way keeps
// all but the body's place.
enum BodyShape : int { kGet, kHead, kOtherWithoutBody, kPost, kOtherWithBody };

BodyShape shapeOf(const std::string& method, bool sendsBody) {
  if (sendsBody) return method == "POST" ? kPost : kOtherWithBody;
  if (method == "GET") return kGet;
  return method == "HEAD" ? kHead : kOtherWithoutBody;
}

// Sets `value` unless the handle's last transfer set it already.
template <class Value>
void setChanged(EasyOptions& set, CURLoption option, Value value, Value& last) {
  if (value == last) return;
  set(option, value);
  last = value;
}

void setMethodAndBody(EasyOptions& set, EasyHandlePool::Handle& handle, const std::string& method,
                      const std::optional<Data>& body, bool sendsBody) {
  const BodyShape shape = shapeOf(method, sendsBody);
  // The shape's fixed options once, when it changes; a custom method's name every time, since it
  // points into this request.
  if (shape != handle.last.bodyShape || shape == kOtherWithBody || shape == kOtherWithoutBody) {
    set(CURLOPT_CUSTOMREQUEST, static_cast<const char*>(nullptr));
    if (sendsBody) {
      set(CURLOPT_NOBODY, 0L);
    } else {
      set(CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t{-1});
      set(CURLOPT_POSTFIELDS, static_cast<const char*>(nullptr));
      set(CURLOPT_HTTPGET, 1L);
      if (shape == kHead) set(CURLOPT_NOBODY, 1L);
    }
    if (shape == kOtherWithBody || shape == kOtherWithoutBody) {
      set(CURLOPT_CUSTOMREQUEST, method.c_str());
    }
    handle.last.bodyShape = shape;
  }
  if (sendsBody) {
    static constexpr char kEmpty[] = "";
    set(CURLOPT_POSTFIELDSIZE_LARGE, body ? static_cast<curl_off_t>(body->size()) : curl_off_t{0});
    set(CURLOPT_POSTFIELDS,
        body && !body->empty() ? reinterpret_cast<const char*>(body->data()) : kEmpty);
  }
}

}  // namespace

std::optional<URLError> Transfer::setUp(EasyHandlePool& pool, SessionCurlOptions& options,
                                        std::size_t bodyLimit) {
  const SendGate::Rerun rerun = gate.rerun();  // of the run before, if any
  overHTTP1 = overHTTP1 || rerun == SendGate::Rerun::overHTTP1;
  if (rerun != SendGate::Rerun::no) reader = ResponseReader();  // nothing of the run before

  CURLcode failure = CURLE_OK;
  handle = pool.take(options, failure);
  if (!handle) return URLError(failure, curl_easy_strerror(failure));

  const auto& body = request.httpBody();
  const std::string& method = request.httpMethod();
  const bool sendsBody = body.has_value() || method == "POST";
  try {
    fillHeaderList(handle->headerText, handle->headerList, request, sendsBody);
  } catch (const std::bad_alloc&) {
    return URLError(CURLE_OUT_OF_MEMORY, curl_easy_strerror(CURLE_OUT_OF_MEMORY));
  }

  CURL* easy = handle->easy.get();
  const bool multiplexes = !overHTTP1 && options.waitsToMultiplex(request.url());
  EasyOptions set(easy);
  handle->transfer = this;
  set(CURLOPT_URL, request.url().absoluteString().c_str());
  set(CURLOPT_HTTPHEADER, handle->headerList.data());
  const bool decodes = options.decodes(request);
  // "" offers every coding this libcurl decodes; null sends no offer and decodes nothing.
  if (handle->last.offersCodings != int{decodes}) {
    set(CURLOPT_ACCEPT_ENCODING, decodes ? "" : static_cast<const char*>(nullptr));
    handle->last.offersCodings = decodes;
  }
  setChanged(set, CURLOPT_PINNEDPUBLICKEY, options.pinnedKeys(request.url()), handle->last.pins);
  reader.start(*handle, body ? body->size() : 0, bodyLimit, decodes, timer);
  timer.start(*handle);
  gate.start(*handle, options.sockets(), method, multiplexes);
  setChanged(set, CURLOPT_PIPEWAIT, multiplexes ? 1L : 0L, handle->last.pipeWait);
  // A request that must not go out twice avoids connections idle long enough for the server to
  // be closing them (libcurl counts whole seconds: idle under 2 s); libcurl's default otherwise.
  setChanged(set, CURLOPT_MAXAGE_CONN, gate.idempotent() ? 118L : 1L, handle->last.maxAge);
  // Handles of reruns are not pooled again, so these need no undoing.
  if (rerun == SendGate::Rerun::onFreshConnection) set(CURLOPT_FRESH_CONNECT, 1L);
  if (overHTTP1) set(CURLOPT_HTTP_VERSION, long{CURL_HTTP_VERSION_1_1});
  setMethodAndBody(set, *handle, method, body, sendsBody);
  if (set.result() != CURLE_OK) return URLError(set.result(), curl_easy_strerror(set.result()));
  return std::nullopt;
}

}  // namespace tamsenor::detail
