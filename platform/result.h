// The one way the core says something could not be done: a code to branch
// on and the sentence that standard error and the system log show. Each
// module has its own code enum, whose first value, Ok, means success.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace platform {

template <class Code>
class [[nodiscard]] Status {
 public:
  Status() = default;  // Ok
  Status(Code code, std::string message) : code_(code), message_(std::move(message)) {}

  bool ok() const { return code_ == Code::Ok; }
  explicit operator bool() const { return ok(); }
  Code code() const { return code_; }
  const std::string& message() const { return message_; }

 private:
  Code code_ = Code::Ok;
  std::string message_;
};

// A value, or the Status that says why there is none.
template <class T, class Code>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}
  Result(Status<Code> failure) : status_(std::move(failure)) {}
  Result(Code code, std::string message) : status_(code, std::move(message)) {}

  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }
  const T& value() const { return *value_; }
  T& value() { return *value_; }
  const T* operator->() const { return &*value_; }
  const T& operator*() const { return *value_; }
  const Status<Code>& status() const { return status_; }
  Code code() const { return status_.code(); }
  const std::string& message() const { return status_.message(); }

 private:
  std::optional<T> value_;
  Status<Code> status_;
};

}  // namespace platform
