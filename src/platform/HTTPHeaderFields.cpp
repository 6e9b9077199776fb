#include "tamsenor/platform/HTTPHeaderFields.hpp"

#include <algorithm>

#include "support/ASCII.hpp"

namespace tamsenor {

using detail::equalsIgnoringASCIICase;

namespace {

// A record carries a handful of fields: room for them at once, not for one, two, then four.
constexpr std::size_t kFirstRoom = 8;

}  // namespace

void HTTPHeaderFields::set(std::string_view name, std::string value) {
  for (auto& field : fields_) {
    if (equalsIgnoringASCIICase(field.first, name)) {
      field.second = std::move(value);
      return;
    }
  }
  if (fields_.capacity() == 0) fields_.reserve(kFirstRoom);
  fields_.emplace_back(std::string(name), std::move(value));
}

void HTTPHeaderFields::append(std::string name, std::string value) {
  if (fields_.capacity() == 0) fields_.reserve(kFirstRoom);
  fields_.emplace_back(std::move(name), std::move(value));
}

bool HTTPHeaderFields::remove(std::string_view name) {
  return std::erase_if(fields_,
                       [&](const Field& f) { return equalsIgnoringASCIICase(f.first, name); }) > 0;
}

std::optional<std::string_view> HTTPHeaderFields::value(std::string_view name) const {
  for (const auto& field : fields_) {
    if (equalsIgnoringASCIICase(field.first, name)) return field.second;
  }
  return std::nullopt;
}

bool operator==(const HTTPHeaderFields& a, const HTTPHeaderFields& b) noexcept {
  const auto& left = a.fields_;
  const auto& right = b.fields_;
  if (left.size() != right.size()) return false;
  // Quadratic and without allocating, which suits the handful of fields a record carries. The
  // k-th field of a name in `left` pairs with the k-th of that name in `right`; with equal sizes
  // that pairing covers both sides.
  for (std::size_t i = 0; i < left.size(); ++i) {
    const auto& [name, value] = left[i];
    std::size_t repeat = 0;
    for (std::size_t j = 0; j < i; ++j) {
      if (equalsIgnoringASCIICase(left[j].first, name)) ++repeat;
    }
    const HTTPHeaderFields::Field* partner = nullptr;
    for (const auto& field : right) {
      if (equalsIgnoringASCIICase(field.first, name) && repeat-- == 0) {
        partner = &field;
        break;
      }
    }
    if (partner == nullptr || partner->second != value) return false;
  }
  return true;
}

}  // namespace tamsenor
