#pragma once
/// Where the fast search hands its candidates, each with its fold scores: the
/// contract a sink meets, and the sink of the growers, which keeps only the
/// best scored split.

#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "aggregation.hpp"
#include "held_out.hpp"
#include "scored_split.hpp"

namespace quor {

/// A sink takes each feature's candidates after start(feature), in ascending
/// code order: the search writes a candidate's fold scores (fold order) into
/// the buffer scores() lends it, then add(code) takes them. Sinks are template
/// parameters of the search, so that a candidate reaches its sink without an
/// indirect call.
template <class Sink>
concept CandidateSink = requires(Sink& sink, std::uint64_t feature, std::uint32_t code, bool missing_left) {
  sink.start(feature);
  { sink.scores() } -> std::same_as<std::vector<double>&>;
  sink.add(code, missing_left);
};

/// Keeps the scored split choose_best_split would take among all the
/// candidates it is given (a finite score, the highest, then the lower
/// feature, then the lower code, then missing values right), without making a scored split of each: the
/// winner's is made once, at the end. Its buffers are the caller's, reused
/// from node to node.
class BestSplitSink {
 public:
  BestSplitSink(std::size_t n_folds, const Aggregator& aggregator, std::vector<double>& scores,
                std::vector<double>& best_scores)
      : n_folds_(n_folds), aggregator_(aggregator), scores_(scores), best_scores_(best_scores) {}

  void start(std::uint64_t feature) { feature_ = feature; }

  std::vector<double>& scores() { return scores_; }

  void add(std::uint32_t code, bool missing_left = false) {
    const double value = aggregator_.score(scores_);
    if (!std::isfinite(value)) return;
    if (found_ && !comes_first(value, feature_, code, missing_left, best_, best_feature_, best_code_,
                               best_missing_left_)) {
      return;
    }
    found_ = true;
    best_missing_left_ = missing_left;
    best_ = value;
    best_feature_ = feature_;
    best_code_ = code;
    best_scores_.assign(scores_.begin(), scores_.end());
  }

  /// The best scored split; nullopt when no candidate had a finite score.
  std::optional<ScoredSplit> best() const {
    if (!found_) return std::nullopt;
    ScoredSplit best = make_scored_split(best_feature_, best_code_, best_scores_, n_folds_, aggregator_);
    best.missing_left = best_missing_left_;
    return best;
  }

 private:
  std::size_t n_folds_;
  const Aggregator& aggregator_;
  std::vector<double>& scores_;
  std::vector<double>& best_scores_;
  std::uint64_t feature_ = 0;
  bool found_ = false;
  double best_ = 0.0;
  std::uint64_t best_feature_ = 0;
  std::uint32_t best_code_ = 0;
  bool best_missing_left_ = false;
};

static_assert(CandidateSink<BestSplitSink>);

/// A sink that also wants the fold of each score: the search writes it into
/// the buffer folds() lends, beside scores().
template <class Sink>
concept FoldKeepingSink = CandidateSink<Sink> && requires(Sink& sink) {
  { sink.folds() } -> std::same_as<std::vector<std::uint32_t>&>;
};

/// The growers' sink when splits are also measured on held-out folds: the
/// best scored split, and each fold's choice among the same candidates.
class HeldOutSink {
 public:
  HeldOutSink(BestSplitSink& best, HeldOutChoice& held_out, std::vector<std::uint32_t>& folds, std::size_t n_folds)
      : best_(best), held_out_(held_out), folds_(folds), n_folds_(n_folds) {}

  void start(std::uint64_t feature) {
    feature_ = feature;
    best_.start(feature);
  }
  std::vector<double>& scores() { return best_.scores(); }
  std::vector<std::uint32_t>& folds() { return folds_; }

  void add(std::uint32_t code, bool missing_left = false) {
    const std::vector<double>& scores = best_.scores();
    // A full list is in fold order: its folds need no reading.
    const bool every_fold = scores.size() == n_folds_;
    held_out_.add(feature_, code, missing_left, scores,
                  every_fold ? std::span<const std::uint32_t>() : std::span<const std::uint32_t>(folds_));
    best_.add(code, missing_left);
  }

 private:
  BestSplitSink& best_;
  HeldOutChoice& held_out_;
  std::vector<std::uint32_t>& folds_;
  std::size_t n_folds_;
  std::uint64_t feature_ = 0;
};

static_assert(FoldKeepingSink<HeldOutSink>);

}  // namespace quor
