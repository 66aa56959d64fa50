#pragma once
/// Base-2 logarithm made of IEEE 754 additions and multiplications only, so
/// that it gives the same bits on every machine.
///
/// The C library's log2 does not: on x86-64 it picks, when the program loads,
/// a version built for CPUs with fused multiply-add, whose last bit differs
/// from the plain version for about one argument in two thousand of the form
/// k/m. The entropy criterion takes logarithms of class frequencies, so a
/// tree grown with it could then depend on the CPU it was grown on.
///
/// x = f·2^e with f in [1, 2); a table entry chosen by f's top eight bits gives
/// r ≈ 1/f, with 26 significant bits so that f·r − 1 = t is computed exactly,
/// and −log2 r as a double-double; log2(1 + t), |t| < 2^-8, is a short series
/// whose first term is kept as a double-double too. The result carries a
/// relative error of about 2^-62 before its one final rounding: it is the
/// correctly rounded log2 but for the rare values within that distance of a
/// rounding boundary. Powers of two give exact results, log2(1) is +0, and
/// values near 1 keep their relative accuracy (the table's first and last
/// entries are r = 1 and r = 1/2 exactly). Every expression must be evaluated
/// as written (no contraction into fused multiply-adds), which the build sets
/// for the whole core.

#include <bit>
#include <cstdint>

namespace quor {
namespace portable_log2_detail {

struct Log2Entry {
  double r;             // ≈ 1 / f for the f of this entry, 26 significant bits
  double minus_log2_hi;  // −log2 r = minus_log2_hi + minus_log2_lo
  double minus_log2_lo;
};
extern const Log2Entry kLog2Table[256];
// 1/ln 2 as a double-double (known to the compiler, which splits it once).
inline constexpr double kInvLn2[2] = {0x1.71547652b82fep+0, 0x1.777d0ffda0d24p-56};
extern const double kLog2Series[7];  // (−1)^(k+1) / (k·ln 2), k = 2 … 8

struct DoubleDouble {
  double hi;
  double lo;
};

/// a + b exactly, as hi + lo (Knuth's two-sum).
inline DoubleDouble two_sum(double a, double b) {
  const double s = a + b;
  const double bb = s - a;
  return {s, (a - (s - bb)) + (b - bb)};
}

/// Veltkamp's split: a = hi + lo with 26 and 27 significant bits.
inline DoubleDouble split(double a) {
  const double t = 134217729.0 * a;  // 2^27 + 1
  const double hi = t - (t - a);
  return {hi, a - hi};
}

/// a × b exactly, as hi + lo (Dekker's product).
inline DoubleDouble two_product(double a, double b) {
  const DoubleDouble as = split(a);
  const DoubleDouble bs = split(b);
  const double p = a * b;
  return {p, ((as.hi * bs.hi - p) + as.hi * bs.lo + as.lo * bs.hi) + as.lo * bs.lo};
}

}  // namespace portable_log2_detail

/// log2(x) for finite x > 0 (the only arguments the criteria pass).
inline double portable_log2(double x) {
  using namespace portable_log2_detail;
  std::int64_t e = 0;
  if (x < 0x1p-1022) {  // subnormal: scale into the normal range
    x *= 0x1p54;
    e = -54;
  }
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  e += static_cast<std::int64_t>((bits >> 52) & 0x7FF) - 1023;
  const double f = std::bit_cast<double>((bits & 0x000FFFFFFFFFFFFFull) | 0x3FF0000000000000ull);
  const Log2Entry& entry = kLog2Table[(bits >> 44) & 0xFF];
  // f·r exactly: r has 26 bits, and so have both halves of f's split.
  const DoubleDouble fs = split(f);
  const double p = f * entry.r;
  const double p_err = (fs.hi * entry.r - p) + fs.lo * entry.r;
  const DoubleDouble t = two_sum(p - 1.0, p_err);  // p − 1 is exact: p is within 1 % of 1
  // log2(1 + t) = t/ln 2 + Σ_{k≥2} (−1)^(k+1) t^k / (k·ln 2): the first term as
  // a double-double, the rest (under 2^-9 of it) in double precision.
  const DoubleDouble lead = two_product(t.hi, kInvLn2[0]);
  const double lead_lo = lead.lo + (t.hi * kInvLn2[1] + t.lo * kInvLn2[0]);
  const double t2 = t.hi * t.hi;
  const double t4 = t2 * t2;
  const double series =
      t2 * ((kLog2Series[0] + t.hi * kLog2Series[1]) + t2 * (kLog2Series[2] + t.hi * kLog2Series[3]) +
            t4 * ((kLog2Series[4] + t.hi * kLog2Series[5]) + t2 * kLog2Series[6]));
  // e − log2 r + log2(1 + t), exact as double-doubles up to the final rounding.
  const DoubleDouble a = two_sum(static_cast<double>(e), entry.minus_log2_hi);
  const DoubleDouble b = two_sum(a.hi, lead.hi);
  return b.hi + (b.lo + (((a.lo + entry.minus_log2_lo) + lead_lo) + series));
}

}  // namespace quor
