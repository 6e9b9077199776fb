#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tamsenor/Export.hpp"

namespace tamsenor {

// Header fields of a request or response, in the order they were first set. Names compare
// case-insensitively (ASCII); setting a field that exists replaces its value and keeps its place.
class TAMSENOR_EXPORT HTTPHeaderFields {
 public:
  using Field = std::pair<std::string, std::string>;  // name, value
  using value_type = Field;
  using const_iterator = std::vector<Field>::const_iterator;
  using iterator = const_iterator;

  void set(std::string_view name, std::string value);
  // Adds a field even when one of the same name exists (responses may repeat a field).
  void append(std::string name, std::string value);
  bool remove(std::string_view name);
  // The value of the first field with this name; valid until the fields are next changed.
  [[nodiscard]] std::optional<std::string_view> value(std::string_view name) const;

  void reserve(std::size_t count) { fields_.reserve(count); }

  [[nodiscard]] std::size_t size() const noexcept { return fields_.size(); }
  [[nodiscard]] bool empty() const noexcept { return fields_.empty(); }
  [[nodiscard]] const_iterator begin() const noexcept { return fields_.begin(); }
  [[nodiscard]] const_iterator end() const noexcept { return fields_.end(); }

  // Equal when both hold the same fields whatever their order and the case of their names, as
  // maps compare; a field repeated by append() pairs with the same repeat on the other side.
  friend TAMSENOR_EXPORT bool operator==(const HTTPHeaderFields& a,
                                         const HTTPHeaderFields& b) noexcept;

 private:
  // Entries are kept in a flat vector, in order. Lookup is a linear scan, which beats hashing for
  // the handful of fields a message carries.
  std::vector<Field> fields_;
};

}  // namespace tamsenor
