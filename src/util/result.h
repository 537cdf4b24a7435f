#pragma once
// How an operation that can fail says so: a Result<T> is a value or a failure, a
// Result<void> is success or a failure. A failure is its message, the exact text it is
// reported with, so callers pass it on rather than rewording it; a failure that carries
// more than text names its own record as E. KL_TRY passes a failure up in one line.

#include <string>
#include <utility>
#include <variant>

namespace kestrune {

/// A failure on its way to a Result: `return fail("noAdapter");`.
template <class E = std::string>
struct Failure {
  E error;
};

inline Failure<std::string> fail(std::string message) { return {std::move(message)}; }

/// A value, or the failure that left none. `E` is the failure's description: its message,
/// or a record when the failure carries more than text.
template <class T, class E = std::string>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}         // NOLINT
  Result(Failure<E> f) : state_(std::in_place_index<1>, std::move(f.error)) {}  // NOLINT

  bool ok() const { return state_.index() == 0; }

  /// The value; only when ok().
  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  /// The failure; only when !ok().
  const E& error() const& { return std::get<1>(state_); }
  E&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, E> state_;
};

/// Success, or a failure.
template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(Failure<E> f) : error_(std::move(f.error)), failed_(true) {}  // NOLINT

  bool ok() const { return !failed_; }

  /// The failure; only when !ok().
  const E& error() const& { return error_; }
  E&& error() && { return std::move(error_); }

 private:
  E error_{};
  bool failed_ = false;
};

/// The failure of a failed `r`, ready to return from a function of any Result<U, E>.
template <class T, class E>
Failure<E> failure_of(Result<T, E>&& r) {
  return {std::move(r).error()};
}

}  // namespace kestrune

/// Evaluates `expr`, a Result; when it failed, returns its failure from the calling
/// function (whose Result has the same failure type, any value type).
#define KL_TRY(expr)                                                              \
  do {                                                                            \
    if (auto kl_try_result_ = (expr); !kl_try_result_.ok()) {                     \
      return ::kestrune::failure_of(std::move(kl_try_result_));                   \
    }                                                                             \
  } while (false)
