#pragma once
// Ordinary failures travel as values: a result or the message that says what went wrong.
// Callers prefix their context to the message and pass it up unchanged.
#include <string>
#include <utility>
#include <variant>

namespace varn {

struct Unexpected {
  std::string message;
};

inline Unexpected fail(std::string message) { return Unexpected{std::move(message)}; }

template <class T>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Expected(Unexpected e) : v_(std::in_place_index<1>, std::move(e.message)) {}

  bool has_value() const { return v_.index() == 0; }
  explicit operator bool() const { return has_value(); }
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  const std::string& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, std::string> v_;
};

template <>
class [[nodiscard]] Expected<void> {
 public:
  Expected() = default;
  Expected(Unexpected e) : error_(std::move(e.message)), failed_(true) {}
  bool has_value() const { return !failed_; }
  explicit operator bool() const { return has_value(); }
  const std::string& error() const { return error_; }

 private:
  std::string error_;
  bool failed_ = false;
};

}  // namespace varn
