#pragma once

#include <utility>
#include <variant>

namespace tamsenor {

// A success value or an error, spelled like std::expected so that its habits carry over. Build one
// with success() or failure(); value() and error() throw std::bad_variant_access when asked for
// the case that is not held, as do operator* and operator-> here (std::expected leaves that
// undefined).
template <class T, class E>
class [[nodiscard]] Result {
 public:
  using value_type = T;
  using error_type = E;

  [[nodiscard]] static Result success(T value) {
    return Result(std::in_place_index<0>, std::move(value));
  }
  [[nodiscard]] static Result failure(E error) {
    return Result(std::in_place_index<1>, std::move(error));
  }

  [[nodiscard]] bool has_value() const noexcept { return storage_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  [[nodiscard]] T& value() & { return std::get<0>(storage_); }
  [[nodiscard]] const T& value() const& { return std::get<0>(storage_); }
  [[nodiscard]] T&& value() && { return std::get<0>(std::move(storage_)); }
  [[nodiscard]] E& error() & { return std::get<1>(storage_); }
  [[nodiscard]] const E& error() const& { return std::get<1>(storage_); }
  [[nodiscard]] E&& error() && { return std::get<1>(std::move(storage_)); }

  [[nodiscard]] T& operator*() & { return value(); }
  [[nodiscard]] const T& operator*() const& { return value(); }
  [[nodiscard]] T&& operator*() && { return std::move(*this).value(); }
  [[nodiscard]] T* operator->() { return &value(); }
  [[nodiscard]] const T* operator->() const { return &value(); }

  friend bool operator==(const Result&, const Result&) = default;

 private:
  template <std::size_t I, class V>
  Result(std::in_place_index_t<I> tag, V&& v) : storage_(tag, std::forward<V>(v)) {}

  std::variant<T, E> storage_;
};

}  // namespace tamsenor
