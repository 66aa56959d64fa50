#pragma once
/// Errors raised by the core. They travel up to the method Python called,
/// where the boundary turns each kind into its Python exception.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace quor {

/// Bad user input or use before fitting: becomes Python's `ValueError`
/// with exactly this message.
class ValueError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// A broken invariant (an index past the end, a worker that failed). It aborts
/// the whole call and reaches Python as `PanicException`, which derives from
/// `BaseException` so that ordinary `except Exception` handlers do not hide it.
class InternalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// A computation stopped because its caller asked it to (see interrupt.hpp).
/// The boundary leaves the Python exception that asked for the stop (a
/// `KeyboardInterrupt` from Ctrl-C) as the call's result.
class Interrupted : public std::runtime_error {
 public:
  Interrupted() : std::runtime_error("interrupted") {}
};

/// Raises an internal error unless `index < length`; `what` names the list.
void check_index(std::uint64_t index, std::uint64_t length, const char* what);

}  // namespace quor
