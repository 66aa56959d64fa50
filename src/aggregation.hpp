#pragma once
/// Summary of one candidate's fold scores and the five aggregators that reduce
/// it to the single number candidates are compared by (larger is better; −∞
/// marks a candidate no fold could score).

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "names.hpp"

namespace quor {

struct FoldStats {
  std::vector<double> scores;  // fold order
  double mean = 0.0;           // −∞ when empty
  double median = 0.0;         // −∞ when empty
  double std = 0.0;            // population form; 0 when empty
  std::uint64_t count = 0;
  std::uint64_t n_folds = 0;   // the node's fold count K (informational)
};

/// Takes ownership of the scores; `n_folds` is the node's fold count.
FoldStats fold_stats(std::vector<double> scores, std::uint64_t n_folds);

enum class AggregatorKind { Mean, Median, TrimmedMean, SignalToNoise, MeanMinusLambdaStd };

inline constexpr std::array<Named<AggregatorKind>, 5> kAggregators{
    {{"mean", AggregatorKind::Mean},
     {"median", AggregatorKind::Median},
     {"trimmed_mean", AggregatorKind::TrimmedMean},
     {"signal_to_noise", AggregatorKind::SignalToNoise},
     {"mean_minus_lambda_std", AggregatorKind::MeanMinusLambdaStd}}};

class Aggregator {
 public:
  /// Chooses by name and keeps only the chosen kind's parameter; else
  /// `ValueError` "unknown aggregator {}".
  static Aggregator from_name(std::string_view name, double agg_frac, double agg_eps,
                              double agg_lambda);
  static Aggregator mean() { return {AggregatorKind::Mean, 0.0}; }

  AggregatorKind kind() const { return kind_; }
  /// `agg_frac`, `agg_eps` or `agg_lambda` for the kinds that hold one; 0 otherwise.
  double parameter() const { return parameter_; }
  /// −∞ for an empty summary.
  double aggregate(const FoldStats& stats) const;
  /// The same score straight from a list of fold scores, without its summary:
  /// aggregate(fold_stats(scores, K)) to the bit.
  double score(std::span<const double> scores) const;

 private:
  Aggregator(AggregatorKind kind, double parameter) : kind_(kind), parameter_(parameter) {}
  AggregatorKind kind_;
  double parameter_;
};

}  // namespace quor
