// Reading the answer: a SAX handler over Boost.JSON's validating parser writes straight into the
// record. The top-level object and each object of its "tests" array are followed, everything
// else is skipped. No document tree is built (a tree cost 2.8 times the instructions), and seeing
// every key as it arrives is what lets a repeated key be refused: a tree would have kept one of
// the two values silently.
#include <algorithm>
#include <array>
#include <boost/json/basic_parser_impl.hpp>
#include <cstdint>
#include <limits>

#include "abtesting/RemoteABTestRecords.hpp"

namespace tamsenor::detail {

namespace {

// Our bodies nest three deep; the slack is for unknown keys, whose values are skipped but still
// have to be parsed. Deeper input fails instead of growing the parser's stack without bound.
constexpr std::size_t kMaxDepth = 32;

// Reserving for the most entries the body can hold saves the copies of a growing vector; the cap
// keeps a large body of unknown keys from reserving much more than it will use.
constexpr std::size_t kMostEntriesReserved = 1024;
// {"test_name":"","state":"active"}: no readable entry is shorter.
constexpr std::size_t kShortestEntry = 33;

class RemoteABTestResponseReader {
 public:
  static constexpr std::size_t max_array_size = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t max_object_size = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t max_string_size = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t max_key_size = std::numeric_limits<std::size_t>::max();

  using error_code = boost::json::error_code;

  explicit RemoteABTestResponseReader(std::size_t bodySize) : bodySize_(bodySize) {}

  RemoteABTestConfigResponse record{};

  bool on_document_begin(error_code&) { return true; }
  bool on_document_end(error_code&) { return true; }

  bool on_object_begin(error_code& ec) {
    if (skipDepth_ > 0) {
      ++skipDepth_;
      return true;
    }
    switch (level_) {
      case Level::outside:
        level_ = Level::root;
        return true;
      case Level::tests:
        record.tests.emplace_back();
        seen(Field::testName) = seen(Field::state) = seen(Field::selectedBucket) = false;
        level_ = Level::entry;
        return true;
      case Level::root:
      case Level::entry:
        return beginSkippedValue(ec);
    }
    return fail(ec);
  }

  bool on_object_end(std::size_t, error_code& ec) {
    if (skipDepth_ > 0) {
      --skipDepth_;
      return true;
    }
    if (level_ == Level::entry) {
      if (!seen(Field::testName) || !seen(Field::state)) return fail(ec);
      level_ = Level::tests;
      return true;
    }
    if (!seen(Field::success) || !seen(Field::tests)) return fail(ec);
    level_ = Level::outside;
    return true;
  }

  bool on_array_begin(error_code& ec) {
    if (skipDepth_ > 0) {
      ++skipDepth_;
      return true;
    }
    if (level_ == Level::root && field_ == Field::tests) {
      record.tests.reserve(std::min(bodySize_ / kShortestEntry, kMostEntriesReserved));
      level_ = Level::tests;
      return true;
    }
    if (atMember()) return beginSkippedValue(ec);
    return fail(ec);  // a top-level array, or an array where an entry object is due
  }

  bool on_array_end(std::size_t, error_code&) {
    if (skipDepth_ > 0) {
      --skipDepth_;
      return true;
    }
    level_ = Level::root;  // "tests" is the only array followed
    return true;
  }

  bool on_key_part(boost::json::string_view part, std::size_t, error_code&) {
    if (skipDepth_ == 0) pieces_.append(part.data(), part.size());
    return true;
  }

  bool on_key(boost::json::string_view last, std::size_t, error_code& ec) {
    if (skipDepth_ > 0) return true;
    const std::string_view key = assemble(last);
    field_ = level_ == Level::root ? rootField(key) : entryField(key);
    pieces_.clear();
    if (field_ == Field::unknown) return true;
    if (seen(field_)) return fail(ec);
    seen(field_) = true;
    return true;
  }

  bool on_string_part(boost::json::string_view part, std::size_t, error_code&) {
    if (skipDepth_ == 0) pieces_.append(part.data(), part.size());
    return true;
  }

  bool on_string(boost::json::string_view last, std::size_t, error_code& ec) {
    if (skipDepth_ > 0) return true;
    if (!atMember()) return fail(ec);
    const std::string_view text = assemble(last);
    bool stored = true;
    switch (field_) {
      case Field::unknown:
        break;
      case Field::testName:
        record.tests.back().test_name.assign(text);
        break;
      case Field::state:
        if (const auto state = stateFromString(text)) {
          record.tests.back().state = *state;
        } else {
          stored = false;
        }
        break;
      case Field::selectedBucket:
        record.tests.back().selected_bucket.emplace(text);
        break;
      case Field::success:
      case Field::tests:
        stored = false;
        break;
    }
    pieces_.clear();
    return stored || fail(ec);
  }

  bool on_bool(bool value, error_code& ec) {
    if (skipDepth_ > 0) return true;
    if (!atMember()) return fail(ec);
    if (field_ == Field::success) {
      record.success = value;
      return true;
    }
    return field_ == Field::unknown || fail(ec);
  }

  // Null stands for "no bucket"; for a required key it is as bad as a missing one.
  bool on_null(error_code& ec) {
    if (skipDepth_ > 0) return true;
    if (!atMember()) return fail(ec);
    return field_ == Field::unknown || field_ == Field::selectedBucket || fail(ec);
  }

  // None of our fields is a number.
  bool on_number_part(boost::json::string_view, error_code&) { return true; }
  bool on_int64(std::int64_t, boost::json::string_view, error_code& ec) { return number(ec); }
  bool on_uint64(std::uint64_t, boost::json::string_view, error_code& ec) { return number(ec); }
  bool on_double(double, boost::json::string_view, error_code& ec) { return number(ec); }

  bool on_comment_part(boost::json::string_view, error_code&) { return true; }
  bool on_comment(boost::json::string_view, error_code&) { return true; }

 private:
  // Where the parser stands among the containers that are followed.
  enum class Level : std::uint8_t { outside, root, tests, entry };
  // The key whose value comes next; each key is read at one level only.
  enum class Field : std::uint8_t { unknown, success, tests, testName, state, selectedBucket };

  static Field rootField(std::string_view key) noexcept {
    using Keys = RemoteABTestConfigResponse::CodingKeys;
    if (key == Keys::success) return Field::success;
    if (key == Keys::tests) return Field::tests;
    return Field::unknown;
  }
  static Field entryField(std::string_view key) noexcept {
    using Keys = RemoteABTestResponse::CodingKeys;
    if (key == Keys::test_name) return Field::testName;
    if (key == Keys::state) return Field::state;
    if (key == Keys::selected_bucket) return Field::selectedBucket;
    return Field::unknown;
  }

  static bool fail(error_code& ec) {
    ec = boost::json::error::syntax;
    return false;
  }

  // A key or string that arrived in parts, whole.
  std::string_view assemble(boost::json::string_view last) {
    const std::string_view text(last.data(), last.size());
    if (pieces_.empty()) return text;
    pieces_.append(text);
    return pieces_;
  }

  bool& seen(Field field) noexcept { return seen_[static_cast<std::size_t>(field)]; }

  bool atMember() const noexcept { return level_ == Level::root || level_ == Level::entry; }

  bool beginSkippedValue(error_code& ec) {
    if (field_ != Field::unknown) return fail(ec);
    skipDepth_ = 1;
    return true;
  }

  bool number(error_code& ec) {
    if (skipDepth_ > 0) return true;
    if (!atMember() || field_ != Field::unknown) return fail(ec);
    return true;
  }

  std::size_t bodySize_;
  Level level_ = Level::outside;
  Field field_ = Field::unknown;
  std::size_t skipDepth_ = 0;   // open containers inside an unknown key's value
  std::array<bool, 6> seen_{};  // by Field: keys seen in the current entry and the root object
  std::string pieces_;
};

}  // namespace

std::optional<RemoteABTestConfigResponse> decodeConfigResponse(std::string_view body) {
  boost::json::parse_options options;
  options.max_depth = kMaxDepth;
  boost::json::basic_parser<RemoteABTestResponseReader> parser(options, body.size());
  boost::json::error_code ec;
  const std::size_t used = parser.write_some(false, body.data(), body.size(), ec);
  if (ec || !parser.done() || used != body.size()) return std::nullopt;
  return std::move(parser.handler().record);
}

}  // namespace tamsenor::detail
