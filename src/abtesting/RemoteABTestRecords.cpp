#include "abtesting/RemoteABTestRecords.hpp"

#include <array>
#include <boost/json/basic_parser_impl.hpp>
#include <cstdint>
#include <limits>
#include <span>

namespace tamsenor::detail {

namespace {

// Our bodies nest three deep; the slack is for unknown keys, whose values are skipped but still
// have to be parsed. Deeper input fails instead of growing the parser's stack without bound.
constexpr std::size_t kMaxDepth = 32;

// ---- Writing

// Appends JSON text straight into the body bytes: the records are small and flat, so building a
// document tree first would only copy every string once more.
class JSONWriter {
 public:
  explicit JSONWriter(std::size_t capacity) { out_.reserve(capacity); }

  void raw(std::string_view text) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    out_.insert(out_.end(), bytes, bytes + text.size());
  }
  void raw(char c) { out_.push_back(static_cast<std::uint8_t>(c)); }

  // `"key":` — keys are our own ASCII constants and need no escaping.
  void key(std::string_view name) {
    raw('"');
    raw(name);
    raw("\":");
  }

  // A quoted, escaped string; false when `text` is not valid UTF-8 (Boost's serializer copies such
  // bytes through unchecked, so the check is ours).
  [[nodiscard]] bool string(std::string_view text) {
    raw('"');
    std::size_t runStart = 0;
    std::size_t i = 0;
    while (i < text.size()) {
      const auto c = static_cast<unsigned char>(text[i]);
      if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
        ++i;
        continue;
      }
      raw(text.substr(runStart, i - runStart));
      if (c < 0x80) {
        escape(c);
        ++i;
      } else {
        const std::size_t length = utf8SequenceLength(text.substr(i));
        if (length == 0) return false;
        raw(text.substr(i, length));
        i += length;
      }
      runStart = i;
    }
    raw(text.substr(runStart));
    raw('"');
    return true;
  }

  [[nodiscard]] Data take() && { return std::move(out_); }

 private:
  void escape(unsigned char c) {
    switch (c) {
      case '"':
        raw("\\\"");
        return;
      case '\\':
        raw("\\\\");
        return;
      case '\b':
        raw("\\b");
        return;
      case '\f':
        raw("\\f");
        return;
      case '\n':
        raw("\\n");
        return;
      case '\r':
        raw("\\r");
        return;
      case '\t':
        raw("\\t");
        return;
      default:
        static constexpr char kHex[] = "0123456789abcdef";
        raw("\\u00");
        raw(kHex[c >> 4]);
        raw(kHex[c & 0xF]);
    }
  }

  // Length of the well-formed UTF-8 sequence that starts `text` (no overlong forms, surrogates or
  // code points above U+10FFFF), or 0.
  static std::size_t utf8SequenceLength(std::string_view text) noexcept {
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

  Data out_;
};

// Room for the fixed text around each entry, so that one allocation usually suffices.
constexpr std::size_t kEntryOverhead = 64;

// ---- Reading
//
// A SAX handler over Boost.JSON's validating parser fills flat slots for the top-level object and
// for each object of its one array, then the slots become a record. No document tree is built,
// and seeing every key as it arrives is what lets a repeated key be refused: a tree would have
// kept one of the two values silently.

enum class FieldKind { boolean, string, optionalString, entries };

struct Field {
  std::string_view key;
  FieldKind kind;
};

struct Slot {
  bool keySeen = false;
  bool boolean = false;
  std::optional<std::string> text;
};

constexpr std::size_t kMaxFields = 3;
using Slots = std::array<Slot, kMaxFields>;

class BodyHandler {
 public:
  static constexpr std::size_t max_array_size = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t max_object_size = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t max_string_size = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t max_key_size = std::numeric_limits<std::size_t>::max();

  using error_code = boost::json::error_code;

  BodyHandler(std::span<const Field> rootFields, std::span<const Field> entryFields)
      : rootFields_(rootFields), entryFields_(entryFields) {}

  Slots root;
  std::vector<Slots> entries;

  bool on_document_begin(error_code&) { return true; }
  bool on_document_end(error_code&) { return true; }

  bool on_object_begin(error_code& ec) {
    if (skipDepth_ > 0) return ++skipDepth_, true;
    switch (level_) {
      case Level::outside:
        level_ = Level::root;
        return true;
      case Level::entries:
        entries.emplace_back();
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
      if (!complete(entries.back(), entryFields_)) return fail(ec);
      level_ = Level::entries;
      return true;
    }
    if (!complete(root, rootFields_)) return fail(ec);
    level_ = Level::outside;
    return true;
  }

  bool on_array_begin(error_code& ec) {
    if (skipDepth_ > 0) return ++skipDepth_, true;
    if (level_ == Level::root && field_ != kIgnored &&
        rootFields_[field_].kind == FieldKind::entries) {
      level_ = Level::entries;
      return true;
    }
    if (level_ == Level::root || level_ == Level::entry) return beginSkippedValue(ec);
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
    const auto fields = level_ == Level::root ? rootFields_ : entryFields_;
    field_ = kIgnored;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (fields[i].key == key) {
        field_ = i;
        break;
      }
    }
    pieces_.clear();
    if (field_ == kIgnored) return true;
    Slot& slot = current()[field_];
    if (slot.keySeen) return fail(ec);
    slot.keySeen = true;
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
    const FieldKind kind = currentFields()[field_].kind;
    if (kind != FieldKind::string && kind != FieldKind::optionalString) return fail(ec);
    std::string& text = current()[field_].text.emplace();
    if (pieces_.empty()) {
      text.assign(last.data(), last.size());
    } else {
      pieces_.append(last.data(), last.size());
      text = std::move(pieces_);
      pieces_.clear();
    }
    return true;
  }

  bool on_bool(bool value, error_code& ec) {
    if (skipDepth_ > 0) return true;
    if (!atMember()) return fail(ec);
    if (field_ == kIgnored) return true;
    if (currentFields()[field_].kind != FieldKind::boolean) return fail(ec);
    current()[field_].boolean = value;
    return true;
  }

  // Null stands for "no value" only where a value is optional; for a required key it is as bad as
  // a missing one.
  bool on_null(error_code& ec) {
    if (skipDepth_ > 0) return true;
    if (!atMember()) return fail(ec);
    if (field_ == kIgnored) return true;
    return currentFields()[field_].kind == FieldKind::optionalString || fail(ec);
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
  enum class Level { outside, root, entries, entry };
  static constexpr std::size_t kIgnored = kMaxFields;

  static bool fail(error_code& ec) {
    ec = boost::json::error::syntax;
    return false;
  }

  static bool complete(const Slots& slots, std::span<const Field> fields) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (fields[i].kind != FieldKind::optionalString && !slots[i].keySeen) return false;
    }
    return true;
  }

  bool atMember() const noexcept { return level_ == Level::root || level_ == Level::entry; }
  Slots& current() { return level_ == Level::root ? root : entries.back(); }
  std::span<const Field> currentFields() const {
    return level_ == Level::root ? rootFields_ : entryFields_;
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

  std::span<const Field> rootFields_;
  std::span<const Field> entryFields_;
  Level level_ = Level::outside;
  std::size_t field_ = kIgnored;  // the field whose value comes next
  std::size_t skipDepth_ = 0;     // open containers inside an ignored value
  std::string pieces_;            // a key or string that arrives in parts
};

struct ParsedBody {
  Slots root;
  std::vector<Slots> entries;
};

std::optional<ParsedBody> parseBody(std::string_view body, std::span<const Field> rootFields,
                                    std::span<const Field> entryFields) {
  boost::json::parse_options options;
  options.max_depth = kMaxDepth;
  boost::json::basic_parser<BodyHandler> parser(options, rootFields, entryFields);
  boost::json::error_code ec;
  const std::size_t used = parser.write_some(false, body.data(), body.size(), ec);
  if (ec || !parser.done() || used != body.size()) return std::nullopt;
  return ParsedBody{std::move(parser.handler().root), std::move(parser.handler().entries)};
}

constexpr std::array<Field, 2> kRequestFields{{
    {RemoteABTestConfigRequest::CodingKeys::mobile_guid, FieldKind::string},
    {RemoteABTestConfigRequest::CodingKeys::tests, FieldKind::entries},
}};
constexpr std::array<Field, 2> kRequestEntryFields{{
    {RemoteABTestRequest::CodingKeys::type, FieldKind::string},
    {RemoteABTestRequest::CodingKeys::test_name, FieldKind::string},
}};
constexpr std::array<Field, 2> kResponseFields{{
    {RemoteABTestConfigResponse::CodingKeys::success, FieldKind::boolean},
    {RemoteABTestConfigResponse::CodingKeys::tests, FieldKind::entries},
}};
constexpr std::array<Field, 3> kResponseEntryFields{{
    {RemoteABTestResponse::CodingKeys::test_name, FieldKind::string},
    {RemoteABTestResponse::CodingKeys::state, FieldKind::string},
    {RemoteABTestResponse::CodingKeys::selected_bucket, FieldKind::optionalString},
}};

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

std::optional<RemoteABTestRequestType> requestTypeFromString(std::string_view text) noexcept {
  for (auto type :
       {RemoteABTestRequestType::tamsenorTest, RemoteABTestRequestType::exposeTamsenorTest}) {
    if (to_string(type) == text) return type;
  }
  return std::nullopt;
}

std::optional<RemoteABTestState> stateFromString(std::string_view text) noexcept {
  for (auto state :
       {RemoteABTestState::active, RemoteABTestState::finished, RemoteABTestState::inactive}) {
    if (to_string(state) == text) return state;
  }
  return std::nullopt;
}

std::optional<Data> encode(const RemoteABTestConfigRequest& record) {
  std::size_t capacity = kEntryOverhead + record.mobile_guid.size();
  for (const auto& entry : record.tests) capacity += kEntryOverhead + entry.test_name.size();
  JSONWriter out(capacity);
  out.raw('{');
  out.key(RemoteABTestConfigRequest::CodingKeys::mobile_guid);
  if (!out.string(record.mobile_guid)) return std::nullopt;
  out.raw(',');
  out.key(RemoteABTestConfigRequest::CodingKeys::tests);
  out.raw('[');
  for (std::size_t i = 0; i < record.tests.size(); ++i) {
    const auto& entry = record.tests[i];
    out.raw(i == 0 ? "{" : ",{");
    out.key(RemoteABTestRequest::CodingKeys::type);
    out.raw('"');
    out.raw(to_string(entry.type));
    out.raw("\",");
    out.key(RemoteABTestRequest::CodingKeys::test_name);
    if (!out.string(entry.test_name)) return std::nullopt;
    out.raw('}');
  }
  out.raw("]}");
  return std::move(out).take();
}

std::optional<Data> encode(const RemoteABTestConfigResponse& record) {
  std::size_t capacity = kEntryOverhead;
  for (const auto& entry : record.tests) {
    capacity += kEntryOverhead + entry.test_name.size() + entry.selected_bucket.value_or("").size();
  }
  JSONWriter out(capacity);
  out.raw('{');
  out.key(RemoteABTestConfigResponse::CodingKeys::success);
  out.raw(record.success ? "true," : "false,");
  out.key(RemoteABTestConfigResponse::CodingKeys::tests);
  out.raw('[');
  for (std::size_t i = 0; i < record.tests.size(); ++i) {
    const auto& entry = record.tests[i];
    out.raw(i == 0 ? "{" : ",{");
    out.key(RemoteABTestResponse::CodingKeys::test_name);
    if (!out.string(entry.test_name)) return std::nullopt;
    out.raw(',');
    out.key(RemoteABTestResponse::CodingKeys::state);
    out.raw('"');
    out.raw(to_string(entry.state));
    out.raw('"');
    if (entry.selected_bucket) {
      out.raw(',');
      out.key(RemoteABTestResponse::CodingKeys::selected_bucket);
      if (!out.string(*entry.selected_bucket)) return std::nullopt;
    }
    out.raw('}');
  }
  out.raw("]}");
  return std::move(out).take();
}

std::optional<RemoteABTestConfigRequest> decodeConfigRequest(std::string_view body) {
  auto parsed = parseBody(body, kRequestFields, kRequestEntryFields);
  if (!parsed) return std::nullopt;
  RemoteABTestConfigRequest record{std::move(*parsed->root[0].text), {}};
  record.tests.reserve(parsed->entries.size());
  for (auto& slots : parsed->entries) {
    const auto type = requestTypeFromString(*slots[0].text);
    if (!type) return std::nullopt;
    record.tests.push_back({*type, std::move(*slots[1].text)});
  }
  return record;
}

std::optional<RemoteABTestConfigResponse> decodeConfigResponse(std::string_view body) {
  auto parsed = parseBody(body, kResponseFields, kResponseEntryFields);
  if (!parsed) return std::nullopt;
  RemoteABTestConfigResponse record{parsed->root[0].boolean, {}};
  record.tests.reserve(parsed->entries.size());
  for (auto& slots : parsed->entries) {
    const auto state = stateFromString(*slots[1].text);
    if (!state) return std::nullopt;
    record.tests.push_back({std::move(*slots[0].text), *state, std::move(slots[2].text)});
  }
  return record;
}

}  // namespace tamsenor::detail
