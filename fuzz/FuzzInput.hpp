#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace tamsenor::fuzz {

// Splits a fuzzer's bytes into typed values. Each string is one length byte and up to that many
// bytes; numbers take 8 bytes. Running out yields empty strings and zeroes, never a failure.
class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  std::string string() {
    const std::size_t wanted = byte();
    const std::size_t length = wanted < size_ ? wanted : size_;
    std::string text(reinterpret_cast<const char*>(data_), length);
    advance(length);
    return text;
  }
  // Whatever is left, as one string.
  std::string rest() {
    std::string text(reinterpret_cast<const char*>(data_), size_);
    advance(size_);
    return text;
  }
  std::uint64_t uint64() {
    std::uint64_t value = 0;
    const std::size_t length = size_ < sizeof value ? size_ : sizeof value;
    std::memcpy(&value, data_, length);
    advance(length);
    return value;
  }
  std::int64_t int64() { return static_cast<std::int64_t>(uint64()); }
  std::uint8_t byte() {
    if (size_ == 0) return 0;
    const std::uint8_t value = *data_;
    advance(1);
    return value;
  }

 private:
  void advance(std::size_t n) {
    data_ += n;
    size_ -= n;
  }
  const std::uint8_t* data_;
  std::size_t size_;
};

}  // namespace tamsenor::fuzz
