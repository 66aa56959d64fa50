#include "aggregation.hpp"

#include <string>

#include "config.hpp"
#include "errors.hpp"

namespace quor {

Aggregator Aggregator::from_name(std::string_view name, double agg_frac, double agg_eps,
                                 double agg_lambda) {
  if (name == "mean") return {AggregatorKind::Mean, 0.0};
  if (name == "median") return {AggregatorKind::Median, 0.0};
  if (name == "trimmed_mean") return {AggregatorKind::TrimmedMean, agg_frac};
  if (name == "signal_to_noise") return {AggregatorKind::SignalToNoise, agg_eps};
  if (name == "mean_minus_lambda_std") return {AggregatorKind::MeanMinusLambdaStd, agg_lambda};
  throw ValueError("unknown aggregator " + quoted(name));
}

std::string_view Aggregator::name() const {
  switch (kind_) {
    case AggregatorKind::Mean: return "mean";
    case AggregatorKind::Median: return "median";
    case AggregatorKind::TrimmedMean: return "trimmed_mean";
    case AggregatorKind::SignalToNoise: return "signal_to_noise";
    case AggregatorKind::MeanMinusLambdaStd: return "mean_minus_lambda_std";
  }
  return "";
}

}  // namespace quor
