#pragma once
/// Floating-point values and bit patterns the C++ tests share.

#include <bit>
#include <cstdint>
#include <limits>

namespace quor::test_floats {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kInf = std::numeric_limits<double>::infinity();
/// The bits of `x`: two doubles are the same value to the last bit (and the
/// same NaN, or -0.0 against 0.0 told apart) when their bits are equal.
inline std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

}  // namespace quor::test_floats
