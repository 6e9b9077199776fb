#pragma once

#include <charconv>
#include <string_view>

namespace tamsenor::detail {

// An integer in decimal, digits only with a leading "-" when negative, held in its own buffer.
class Decimal {
 public:
  template <class Integer>
  explicit Decimal(Integer value) noexcept {
    end_ = std::to_chars(buffer_, buffer_ + sizeof buffer_, value).ptr;
  }
  [[nodiscard]] std::string_view view() const noexcept {
    return {buffer_, static_cast<std::size_t>(end_ - buffer_)};
  }

 private:
  char buffer_[24];
  char* end_;
};

}  // namespace tamsenor::detail
