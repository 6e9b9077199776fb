// Writing the request: two passes, the first measures the text and checks every string, the
// second writes it into a buffer of exactly that size. Appending piece by piece to a growing
// vector cost more than producing the text itself, the pieces being a few bytes each.
#include <array>
#include <cassert>
#include <cstdint>
#include <cstring>

#include "abtesting/RemoteABTestRecords.hpp"
#include "support/ASCII.hpp"
#include "support/UTF8Validation.hpp"

namespace tamsenor::detail {

namespace {

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

struct Measure {
  std::size_t size = 0;
  bool escapes = false;  // whether any string needs an escape sequence; most bodies have none
};

// Adds the length of `text` as written between its quotes; false when it is not UTF-8.
bool measureString(std::string_view text, Measure& measure) noexcept {
  measure.size += text.size();
  std::size_t i = 0;
  while (i < text.size()) {
    const std::uint8_t kind = kByteClass[static_cast<unsigned char>(text[i])];
    if (kind == 0) {
      ++i;
    } else if (kind != kLead) {
      measure.size += kind - 1u;
      measure.escapes = true;
      ++i;
    } else {
      const std::size_t length = utf8SequenceLength(text.substr(i));
      if (length == 0) return false;
      i += length;
    }
  }
  return true;
}

std::uint8_t* writeRaw(std::uint8_t* out, std::string_view text) noexcept {
  if (text.empty()) return out;  // an empty view may have no storage at all
  std::memcpy(out, text.data(), text.size());
  return out + text.size();
}

std::uint8_t* writeEscape(std::uint8_t* out, unsigned char c) noexcept {
  switch (c) {
    case '"':
      return writeRaw(out, "\\\"");
    case '\\':
      return writeRaw(out, "\\\\");
    case '\b':
      return writeRaw(out, "\\b");
    case '\f':
      return writeRaw(out, "\\f");
    case '\n':
      return writeRaw(out, "\\n");
    case '\r':
      return writeRaw(out, "\\r");
    case '\t':
      return writeRaw(out, "\\t");
    default:
      out = writeRaw(out, "\\u00");
      *out++ = static_cast<std::uint8_t>(kLowerHexDigits[c >> 4]);
      *out++ = static_cast<std::uint8_t>(kLowerHexDigits[c & 0xF]);
      return out;
  }
}

// `text` without its quotes, already checked by measureString.
std::uint8_t* writeString(std::uint8_t* out, std::string_view text, bool escapes) noexcept {
  if (!escapes) return writeRaw(out, text);
  std::size_t runStart = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const std::uint8_t kind = kByteClass[c];
    if (kind == 0 || kind == kLead) continue;
    out = writeRaw(out, text.substr(runStart, i - runStart));
    out = writeEscape(out, c);
    runStart = i + 1;
  }
  return writeRaw(out, text.substr(runStart));
}

}  // namespace

std::optional<Data> encodeConfigRequest(std::string_view mobile_guid, RemoteABTestRequestType type,
                                        std::span<const ABTest> tests) {
  constexpr std::string_view kHead = R"({"mobile_guid":")";
  constexpr std::string_view kTests = R"(","tests":[)";
  constexpr std::string_view kTail = "]}";
  // Everything of an entry but its name: the type is the same for all of them.
  const bool expose = type == RemoteABTestRequestType::exposeTamsenorTest;
  const std::string_view entryHead = expose ? R"({"type":"expose_tamsenor_test","test_name":")"
                                            : R"({"type":"tamsenor_test","test_name":")";
  constexpr std::string_view kEntryTail = R"("})";

  Measure measure;
  measure.size = kHead.size() + kTests.size() + kTail.size() +
                 tests.size() * (entryHead.size() + kEntryTail.size() + 1);
  if (!tests.empty()) --measure.size;  // no comma before the first entry
  if (!measureString(mobile_guid, measure)) return std::nullopt;
  for (const auto& test : tests) {
    if (!measureString(test.name, measure)) return std::nullopt;
  }

  Data body(measure.size);
  std::uint8_t* out = writeRaw(body.data(), kHead);
  out = writeString(out, mobile_guid, measure.escapes);
  out = writeRaw(out, kTests);
  for (std::size_t i = 0; i < tests.size(); ++i) {
    if (i > 0) *out++ = ',';
    out = writeRaw(out, entryHead);
    out = writeString(out, tests[i].name, measure.escapes);
    out = writeRaw(out, kEntryTail);
  }
  out = writeRaw(out, kTail);
  assert(out == body.data() + body.size());
  return body;
}

}  // namespace tamsenor::detail
