#include "abtesting/RemoteABTestRecords.hpp"

#include <algorithm>
#include <array>
#include <boost/json/basic_parser_impl.hpp>
#include <cstdint>
#include <cstring>
#include <limits>

namespace tamsenor::detail {

namespace {

// `text` equals the literal; the caller has checked the length.
template <std::size_t N>
bool isText(std::string_view text, const char (&literal)[N]) noexcept {
  return std::memcmp(text.data(), literal, N - 1) == 0;
}

// Our bodies nest three deep; the slack is for unknown keys, whose values are skipped but still
// have to be parsed. Deeper input fails instead of growing the parser's stack without bound.
constexpr std::size_t kMaxDepth = 32;

// ---- Writing
//
// Two passes over the record: the first measures the text and checks every string, the second
// writes it into a buffer of exactly that size. Appending piece by piece to a growing vector cost
// more than producing the text itself, the pieces being a few bytes each.

// Length of the well-formed UTF-8 sequence that starts `text` (no overlong forms, surrogates or
// code points above U+10FFFF), or 0.
std::size_t utf8SequenceLength(std::string_view text) noexcept {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

// What writing a byte of a string takes: 0 copies it as it is, 2 and 6 are the lengths of its
// escape sequence, kLead starts a multi-byte UTF-8 sequence that has to be checked.
constexpr std::uint8_t kLead = 0xFF;
constexpr std::array<std::uint8_t, 256> kByteClass = [] {
  std::array<std::uint8_t, 256> table{};
  for (std::size_t c = 0; c < 0x20; ++c) table[c] = 6;
  for (const char c : {'"', '\\', '\b', '\f', '\n', '\r', '\t'}) {
    table[static_cast<unsigned char>(c)] = 2;
  }
  for (std::size_t c = 0x80; c < 0x100; ++c) table[c] = kLead;
  return table;
}();

// Pass one: the size of the text, and whether every string is valid UTF-8 (Boost's serializer
// copies invalid bytes through unchecked, so the check is ours).
class JSONMeasure {
 public:
  void raw(std::string_view text) noexcept { size_ += text.size(); }
  void raw(char) noexcept { ++size_; }
  void key(std::string_view name) noexcept { size_ += name.size() + 3; }

  [[nodiscard]] bool string(std::string_view text) noexcept {
    size_ += text.size() + 2;
    std::size_t i = 0;
    while (i < text.size()) {
      const std::uint8_t kind = kByteClass[static_cast<unsigned char>(text[i])];
      if (kind == 0) {
        ++i;
      } else if (kind != kLead) {
        size_ += kind - 1u;
        escapes_ = true;
        ++i;
      } else {
        const std::size_t length = utf8SequenceLength(text.substr(i));
        if (length == 0) return false;
        i += length;
      }
    }
    return true;
  }

  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  // Whether any string needs an escape sequence; most bodies have none.
  [[nodiscard]] bool escapes() const noexcept { return escapes_; }

 private:
  std::size_t size_ = 0;
  bool escapes_ = false;
};

// Pass two: the text, into exactly the bytes measured. Strings were checked by pass one.
class JSONWriter {
 public:
  JSONWriter(std::size_t size, bool escapes) : out_(size), next_(out_.data()), escapes_(escapes) {}

  void raw(std::string_view text) noexcept {
    if (text.empty()) return;  // an empty view may have no storage at all
    std::memcpy(next_, text.data(), text.size());
    next_ += text.size();
  }
  void raw(char c) noexcept { *next_++ = static_cast<std::uint8_t>(c); }

  // `"key":` — keys are our own ASCII constants and need no escaping.
  void key(std::string_view name) noexcept {
    raw('"');
    raw(name);
    raw("\":");
  }

  bool string(std::string_view text) noexcept {
    raw('"');
    if (!escapes_) {
      raw(text);
      raw('"');
      return true;
    }
    std::size_t runStart = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      const std::uint8_t kind = kByteClass[c];
      if (kind == 0 || kind == kLead) continue;
      raw(text.substr(runStart, i - runStart));
      escape(c);
      runStart = i + 1;
    }
    raw(text.substr(runStart));
    raw('"');
    return true;
  }

  [[nodiscard]] Data take() && { return std::move(out_); }

 private:
  void escape(unsigned char c) noexcept {
    switch (c) {
      case '"':
        return raw("\\\"");
      case '\\':
        return raw("\\\\");
      case '\b':
        return raw("\\b");
      case '\f':
        return raw("\\f");
      case '\n':
        return raw("\\n");
      case '\r':
        return raw("\\r");
      case '\t':
        return raw("\\t");
      default:
        static constexpr char kHex[] = "0123456789abcdef";
        raw("\\u00");
        raw(kHex[c >> 4]);
        raw(kHex[c & 0xF]);
    }
  }

  Data out_;
  std::uint8_t* next_;
  bool escapes_;
};

// `typeOf` and `nameOf` give each entry's fields, so that a request can be written both from its
// record and straight from the service's tests.
template <class Out, class Entries, class TypeOf, class NameOf>
[[nodiscard]] bool write(Out& out, std::string_view mobile_guid, const Entries& entries,
                         TypeOf typeOf, NameOf nameOf) {
  out.raw('{');
  out.key(RemoteABTestConfigRequest::CodingKeys::mobile_guid);
  if (!out.string(mobile_guid)) return false;
  out.raw(',');
  out.key(RemoteABTestConfigRequest::CodingKeys::tests);
  out.raw('[');
  bool first = true;
  for (const auto& entry : entries) {
    out.raw(first ? "{" : ",{");
    first = false;
    out.key(RemoteABTestRequest::CodingKeys::type);
    out.raw('"');
    out.raw(to_string(typeOf(entry)));
    out.raw("\",");
    out.key(RemoteABTestRequest::CodingKeys::test_name);
    if (!out.string(nameOf(entry))) return false;
    out.raw('}');
  }
  out.raw("]}");
  return true;
}

template <class Out>
[[nodiscard]] bool write(Out& out, const RemoteABTestConfigResponse& record) {
  out.raw('{');
  out.key(RemoteABTestConfigResponse::CodingKeys::success);
  out.raw(record.success ? "true," : "false,");
  out.key(RemoteABTestConfigResponse::CodingKeys::tests);
  out.raw('[');
  for (std::size_t i = 0; i < record.tests.size(); ++i) {
    const auto& entry = record.tests[i];
    out.raw(i == 0 ? "{" : ",{");
    out.key(RemoteABTestResponse::CodingKeys::test_name);
    if (!out.string(entry.test_name)) return false;
    out.raw(',');
    out.key(RemoteABTestResponse::CodingKeys::state);
    out.raw('"');
    out.raw(to_string(entry.state));
    out.raw('"');
    if (entry.selected_bucket) {
      out.raw(',');
      out.key(RemoteABTestResponse::CodingKeys::selected_bucket);
      if (!out.string(*entry.selected_bucket)) return false;
    }
    out.raw('}');
  }
  out.raw("]}");
  return true;
}

template <class... Record>
std::optional<Data> measureAndWrite(const Record&... record) {
  JSONMeasure measure;
  if (!write(measure, record...)) return std::nullopt;
  JSONWriter out(measure.size(), measure.escapes());
  (void)write(out, record...);
  return std::move(out).take();
}

// ---- Reading
//
// A SAX handler over Boost.JSON's validating parser writes straight into the record: the
// top-level object and each object of its one array are followed, everything else is skipped.
// No document tree is built, and seeing every key as it arrives is what lets a repeated key be
// refused: a tree would have kept one of the two values silently.

enum class FieldKind : std::uint8_t { boolean, string, optionalString, entries };

// A record's reading rules: its fields and those of its entries, in table order, and how a value
// lands in its field. Field indexes are bit positions in the handler's masks of keys seen.
struct ResponseSchema {
  using Record = RemoteABTestConfigResponse;
  using Entry = RemoteABTestResponse;
  static constexpr std::array kRootKinds{FieldKind::boolean, FieldKind::entries};
  static constexpr std::array kEntryKinds{FieldKind::string, FieldKind::string,
                                          FieldKind::optionalString};
  // {"test_name":"","state":"active"}: no readable entry is shorter.
  static constexpr std::size_t kShortestEntry = 33;

  static std::size_t rootField(std::string_view key) noexcept {
    using Keys = Record::CodingKeys;
    if (key == Keys::success) return 0;
    if (key == Keys::tests) return 1;
    return kIgnored;
  }
  static std::size_t entryField(std::string_view key) noexcept {
    using Keys = Entry::CodingKeys;
    if (key == Keys::test_name) return 0;
    if (key == Keys::state) return 1;
    if (key == Keys::selected_bucket) return 2;
    return kIgnored;
  }
  static std::vector<Entry>& entries(Record& record) noexcept { return record.tests; }
  static void setBoolean(Record& record, std::size_t, bool value) noexcept {
    record.success = value;
  }
  static void setBoolean(Entry&, std::size_t, bool) noexcept {}
  static bool setString(Record&, std::size_t, std::string_view) noexcept { return false; }
  static bool setString(Entry& entry, std::size_t field, std::string_view text) {
    switch (field) {
      case 0:
        entry.test_name.assign(text);
        return true;
      case 1:
        if (const auto state = stateFromString(text)) return entry.state = *state, true;
        return false;
      default:
        entry.selected_bucket.emplace(text);
        return true;
    }
  }
  static constexpr std::size_t kIgnored = 8;
};

struct RequestSchema {
  using Record = RemoteABTestConfigRequest;
  using Entry = RemoteABTestRequest;
  static constexpr std::array kRootKinds{FieldKind::string, FieldKind::entries};
  static constexpr std::array kEntryKinds{FieldKind::string, FieldKind::string};
  // {"type":"tamsenor_test","test_name":""}
  static constexpr std::size_t kShortestEntry = 39;

  static std::size_t rootField(std::string_view key) noexcept {
    using Keys = Record::CodingKeys;
    if (key == Keys::mobile_guid) return 0;
    if (key == Keys::tests) return 1;
    return kIgnored;
  }
  static std::size_t entryField(std::string_view key) noexcept {
    using Keys = Entry::CodingKeys;
    if (key == Keys::type) return 0;
    if (key == Keys::test_name) return 1;
    return kIgnored;
  }
  static std::vector<Entry>& entries(Record& record) noexcept { return record.tests; }
  static void setBoolean(Record&, std::size_t, bool) noexcept {}
  static void setBoolean(Entry&, std::size_t, bool) noexcept {}
  static bool setString(Record& record, std::size_t, std::string_view text) {
    record.mobile_guid.assign(text);
    return true;
  }
  static bool setString(Entry& entry, std::size_t field, std::string_view text) {
    if (field == 1) return entry.test_name.assign(text), true;
    if (const auto type = requestTypeFromString(text)) return entry.type = *type, true;
    return false;
  }
  static constexpr std::size_t kIgnored = 8;
};

// Reserving for the most entries the body can hold saves the copies of a growing vector; the cap
// keeps a large body of unknown keys from reserving much more than it will use.
constexpr std::size_t kMostEntriesReserved = 1024;

template <class Schema>
class BodyHandler {
 public:
  static constexpr std::size_t max_array_size = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t max_object_size = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t max_string_size = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t max_key_size = std::numeric_limits<std::size_t>::max();

  using error_code = boost::json::error_code;
  using Record = typename Schema::Record;

  explicit BodyHandler(std::size_t bodySize) : bodySize_(bodySize) {}

  Record record{};

  bool on_document_begin(error_code&) { return true; }
  bool on_document_end(error_code&) { return true; }

  bool on_object_begin(error_code& ec) {
    if (skipDepth_ > 0) return ++skipDepth_, true;
    switch (level_) {
      case Level::outside:
        level_ = Level::root;
        return true;
      case Level::entries:
        Schema::entries(record).emplace_back();
        entrySeen_ = 0;
        level_ = Level::entry;
        return true;
      case Level::root:
      case Level::entry:
        return beginSkippedValue(ec);
    }
    return fail(ec);
  }

  bool on_object_end(std::size_t, error_code& ec) {
    if (skipDepth_ > 0) return --skipDepth_, true;
    if (level_ == Level::entry) {
      if ((entrySeen_ & kEntryRequired) != kEntryRequired) return fail(ec);
      level_ = Level::entries;
      return true;
    }
    if ((rootSeen_ & kRootRequired) != kRootRequired) return fail(ec);
    level_ = Level::outside;
    return true;
  }

  bool on_array_begin(error_code& ec) {
    if (skipDepth_ > 0) return ++skipDepth_, true;
    if (level_ == Level::root && field_ != kIgnored &&
        Schema::kRootKinds[field_] == FieldKind::entries) {
      Schema::entries(record).reserve(
          std::min(bodySize_ / Schema::kShortestEntry, kMostEntriesReserved));
      level_ = Level::entries;
      return true;
    }
    if (atMember()) return beginSkippedValue(ec);
    return fail(ec);  // a top-level array, or an array where an entry object is due
  }

  bool on_array_end(std::size_t, error_code&) {
    if (skipDepth_ > 0) return --skipDepth_, true;
    level_ = Level::root;  // the entries array is the only one followed
    return true;
  }

  bool on_key_part(boost::json::string_view part, std::size_t, error_code&) {
    if (skipDepth_ == 0) pieces_.append(part.data(), part.size());
    return true;
  }

  bool on_key(boost::json::string_view last, std::size_t, error_code& ec) {
    if (skipDepth_ > 0) return true;
    std::string_view key(last.data(), last.size());
    if (!pieces_.empty()) {
      pieces_.append(key);
      key = pieces_;
    }
    const bool root = level_ == Level::root;
    field_ = root ? Schema::rootField(key) : Schema::entryField(key);
    pieces_.clear();
    if (field_ == kIgnored) return true;
    auto& seen = root ? rootSeen_ : entrySeen_;
    const auto bit = static_cast<unsigned>(1u << field_);
    if (seen & bit) return fail(ec);
    seen |= bit;
    return true;
  }

  bool on_string_part(boost::json::string_view part, std::size_t, error_code&) {
    if (skipDepth_ == 0) pieces_.append(part.data(), part.size());
    return true;
  }

  bool on_string(boost::json::string_view last, std::size_t, error_code& ec) {
    if (skipDepth_ > 0) return true;
    if (!atMember()) return fail(ec);
    if (field_ == kIgnored) return pieces_.clear(), true;
    const FieldKind kind = kindOf(field_);
    if (kind != FieldKind::string && kind != FieldKind::optionalString) return fail(ec);
    std::string_view text(last.data(), last.size());
    if (!pieces_.empty()) {
      pieces_.append(text);
      text = pieces_;
    }
    const bool stored = level_ == Level::root
                            ? Schema::setString(record, field_, text)
                            : Schema::setString(Schema::entries(record).back(), field_, text);
    pieces_.clear();
    return stored || fail(ec);
  }

  bool on_bool(bool value, error_code& ec) {
    if (skipDepth_ > 0) return true;
    if (!atMember()) return fail(ec);
    if (field_ == kIgnored) return true;
    if (kindOf(field_) != FieldKind::boolean) return fail(ec);
    if (level_ == Level::root) {
      Schema::setBoolean(record, field_, value);
    } else {
      Schema::setBoolean(Schema::entries(record).back(), field_, value);
    }
    return true;
  }

  // Null stands for "no value" only where a value is optional; for a required key it is as bad as
  // a missing one.
  bool on_null(error_code& ec) {
    if (skipDepth_ > 0) return true;
    if (!atMember()) return fail(ec);
    if (field_ == kIgnored) return true;
    return kindOf(field_) == FieldKind::optionalString || fail(ec);
  }

  // None of our fields is a number.
  bool on_number_part(boost::json::string_view, error_code&) { return true; }
  bool on_int64(std::int64_t, boost::json::string_view, error_code& ec) { return number(ec); }
  bool on_uint64(std::uint64_t, boost::json::string_view, error_code& ec) { return number(ec); }
  bool on_double(double, boost::json::string_view, error_code& ec) { return number(ec); }

  bool on_comment_part(boost::json::string_view, error_code&) { return true; }
  bool on_comment(boost::json::string_view, error_code&) { return true; }

 private:
  // Where the parser stands among the containers that are followed. Everything else is skipped.
  enum class Level : std::uint8_t { outside, root, entries, entry };
  static constexpr std::size_t kIgnored = Schema::kIgnored;

  template <std::size_t N>
  static constexpr unsigned requiredMask(const std::array<FieldKind, N>& kinds) {
    unsigned mask = 0;
    for (std::size_t i = 0; i < N; ++i) {
      if (kinds[i] != FieldKind::optionalString) mask |= 1u << i;
    }
    return mask;
  }
  static constexpr unsigned kRootRequired = requiredMask(Schema::kRootKinds);
  static constexpr unsigned kEntryRequired = requiredMask(Schema::kEntryKinds);

  static bool fail(error_code& ec) {
    ec = boost::json::error::syntax;
    return false;
  }

  bool atMember() const noexcept { return level_ == Level::root || level_ == Level::entry; }
  FieldKind kindOf(std::size_t field) const noexcept {
    return level_ == Level::root ? Schema::kRootKinds[field] : Schema::kEntryKinds[field];
  }

  bool beginSkippedValue(error_code& ec) {
    if (field_ != kIgnored) return fail(ec);
    skipDepth_ = 1;
    return true;
  }

  bool number(error_code& ec) {
    if (skipDepth_ > 0) return true;
    if (!atMember() || field_ != kIgnored) return fail(ec);
    return true;
  }

  std::size_t bodySize_;
  Level level_ = Level::outside;
  std::size_t field_ = kIgnored;  // the field whose value comes next
  std::size_t skipDepth_ = 0;     // open containers inside an ignored value
  unsigned rootSeen_ = 0;         // bit i: key of field i seen in the current object
  unsigned entrySeen_ = 0;
  std::string pieces_;  // a key or string that arrives in parts
};

template <class Schema>
std::optional<typename Schema::Record> parseBody(std::string_view body) {
  boost::json::parse_options options;
  options.max_depth = kMaxDepth;
  boost::json::basic_parser<BodyHandler<Schema>> parser(options, body.size());
  boost::json::error_code ec;
  const std::size_t used = parser.write_some(false, body.data(), body.size(), ec);
  if (ec || !parser.done() || used != body.size()) return std::nullopt;
  return std::move(parser.handler().record);
}

}  // namespace

std::string_view to_string(RemoteABTestRequestType type) noexcept {
  switch (type) {
    case RemoteABTestRequestType::tamsenorTest:
      return "tamsenor_test";
    case RemoteABTestRequestType::exposeTamsenorTest:
      return "expose_tamsenor_test";
  }
  return {};
}

std::string_view to_string(RemoteABTestState state) noexcept {
  switch (state) {
    case RemoteABTestState::active:
      return "active";
    case RemoteABTestState::finished:
      return "finished";
    case RemoteABTestState::inactive:
      return "inactive";
  }
  return {};
}

// Every answer entry passes through here: the length picks the one candidate, so at most one
// comparison, of a length known when compiling, is made.
std::optional<RemoteABTestRequestType> requestTypeFromString(std::string_view text) noexcept {
  switch (text.size()) {
    case 13:
      if (isText(text, "tamsenor_test")) return RemoteABTestRequestType::tamsenorTest;
      break;
    case 20:
      if (isText(text, "expose_tamsenor_test")) return RemoteABTestRequestType::exposeTamsenorTest;
      break;
  }
  return std::nullopt;
}

std::optional<RemoteABTestState> stateFromString(std::string_view text) noexcept {
  switch (text.size()) {
    case 6:
      if (isText(text, "active")) return RemoteABTestState::active;
      break;
    case 8:
      if (isText(text, "finished")) return RemoteABTestState::finished;
      if (isText(text, "inactive")) return RemoteABTestState::inactive;
      break;
  }
  return std::nullopt;
}

std::optional<Data> encode(const RemoteABTestConfigRequest& record) {
  return measureAndWrite(
      std::string_view(record.mobile_guid), record.tests,
      [](const RemoteABTestRequest& entry) { return entry.type; },
      [](const RemoteABTestRequest& entry) -> std::string_view { return entry.test_name; });
}

std::optional<Data> encodeConfigRequest(std::string_view mobile_guid, RemoteABTestRequestType type,
                                        std::span<const ABTest> tests) {
  return measureAndWrite(
      mobile_guid, tests, [type](const ABTest&) { return type; },
      [](const ABTest& test) -> std::string_view { return test.name; });
}

std::optional<Data> encode(const RemoteABTestConfigResponse& record) {
  return measureAndWrite(record);
}

std::optional<RemoteABTestConfigRequest> decodeConfigRequest(std::string_view body) {
  return parseBody<RequestSchema>(body);
}

std::optional<RemoteABTestConfigResponse> decodeConfigResponse(std::string_view body) {
  return parseBody<ResponseSchema>(body);
}

}  // namespace tamsenor::detail
