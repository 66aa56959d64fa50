// The fast search against brute force: features encoded as the fast grower
// encodes them (one- or two-byte codes), a node prepared as it prepares one,
// one block search of every feature (on threads for a large node); then, for
// every candidate and fold, the fold's samples are split by the side rule on
// their codes and scored directly. Targets are small integers, so every sum is
// exact whatever its order and the scores agree bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <numeric>
#include <random>
#include <tuple>

#include "columns.hpp"
#include "fast_search.hpp"
#include "folds.hpp"
#include "random_data.hpp"
#include "reference.hpp"
#include "split.hpp"

namespace quor {
namespace {
using quor::testing::encode_columns;

using quor::testing::assign_folds;
using quor::testing::FoldAssignment;

using quor::testing::random_categorical;
using quor::testing::random_continuous;
using quor::testing::random_labels;
using quor::testing::Ids;
using quor::testing::reference_fold_score;

struct FastCase {
  TreeConfig config;
  Task task;
  std::vector<FeatureColumn> columns;
  Targets targets;
  std::vector<std::uint32_t> run;
};

enum class FastSearchCase { Variance, Gini, Entropy, WeightedF1 };

FastCase random_case(FastSearchCase c, SplitStyle style, std::uint64_t seed, std::size_t n) {
  std::mt19937_64 rng(seed);
  FastCase fc;
  fc.config.n_bins = 1 + rng() % 12;
  fc.config.split_style = style;
  fc.config.cv_folds = rng() % 9;
  fc.config.cv_seed = rng();
  fc.config.cv_shuffle = rng() % 2 == 0;
  fc.columns.push_back(random_continuous(rng, n, 2 + static_cast<int>(rng() % 40)));
  fc.columns.push_back(random_categorical(rng, n, 1 + static_cast<int>(rng() % 8)));
  fc.columns.push_back(random_continuous(rng, n, 3));
  for (std::size_t i = 0; i < n; ++i) fc.targets.values.push_back(static_cast<double>(rng() % 21) - 10.0);
  const std::uint64_t n_classes = 2 + seed % 3;
  fc.targets.labels = random_labels(rng, n, n_classes);
  switch (c) {
    case FastSearchCase::Variance: fc.task = RegressionTask{Criterion::regression("variance")}; break;
    case FastSearchCase::Gini: fc.task = ClassificationTask{Criterion::classification("gini"), n_classes}; break;
    case FastSearchCase::Entropy: fc.task = ClassificationTask{Criterion::classification("entropy"), n_classes}; break;
    case FastSearchCase::WeightedF1:
      fc.task = ObjectiveTask{Objective::from_name("f1", AverageMode::Weighted, 0, 1.0), n_classes};
      break;
  }
  for (std::uint32_t s = 0; s < n; ++s) {
    if (rng() % 5 != 0) fc.run.push_back(s);
  }
  if (fc.run.empty()) fc.run.push_back(0);
  std::shuffle(fc.run.begin(), fc.run.end(), rng);
  return fc;
}

/// A node prepared as the fast grower prepares one, with every feature listed.
struct PreparedNode {
  std::vector<double> run_values;
  std::vector<std::uint64_t> run_labels;
  NodeTargets node;
  std::vector<std::size_t> columns;
  std::vector<FeatureSpec> specs;

  PreparedNode(const FastCase& fc, const EncodedFeatures& encoded) : columns(encoded.n_features) {
    for (const std::uint32_t s : fc.run) {
      run_values.push_back(fc.targets.values[s]);
      run_labels.push_back(fc.targets.labels[s]);
    }
    node.prepare(fc.task, fc.config, fc.run, run_values, run_labels);
    std::iota(columns.begin(), columns.end(), std::size_t{0});
    for (std::uint64_t f = 0; f < encoded.n_features; ++f) {
      specs.push_back(feature_spec(encoded, f, fc.config.split_style, fc.config.missing == MissingSide::Learn));
    }
  }
};

/// Every candidate the search hands it, as a scored split, in one list per feature.
class EverySplitSink {
 public:
  EverySplitSink(std::uint64_t n_folds, const Aggregator& aggregator) : n_folds_(n_folds), aggregator_(aggregator) {}
  void start(std::uint64_t feature) {
    feature_ = feature;
    scored.emplace_back();
  }
  std::vector<double>& scores() { return scores_; }
  void add(std::uint32_t code, bool missing_left) {
    scored.back().push_back(make_scored_split(feature_, code, scores_, n_folds_, aggregator_));
    scored.back().back().missing_left = missing_left;
  }

  std::vector<std::vector<ScoredSplit>> scored;

 private:
  std::uint64_t n_folds_;
  const Aggregator& aggregator_;
  std::uint64_t feature_ = 0;
  std::vector<double> scores_;
};

/// Which of the searches runs: the one the fast grower runs (which renumbers
/// a small node's codes), or either of its two ways on any node.
enum class Path { AsGrown, FullHistograms, Renumbered };

/// Every feature's scored splits from one block search over the node.
std::vector<std::vector<ScoredSplit>> search(const FastCase& fc, const EncodedFeatures& encoded,
                                             std::uint64_t n_threads, HistogramScratch& scratch,
                                             const Aggregator& aggregator = Aggregator::mean(),
                                             Path path = Path::AsGrown) {
  const PreparedNode prepared(fc, encoded);
  EverySplitSink sink(prepared.node.n_folds, aggregator);
  const CodeRows codes = code_rows(encoded);
  switch (path) {
    case Path::AsGrown:
      search_features(fc.task, codes, prepared.columns, prepared.specs, prepared.node, scratch, sink, n_threads);
      break;
    case Path::FullHistograms:
      search_histograms(fc.task, codes, prepared.columns, prepared.specs, prepared.node, scratch, sink, n_threads);
      break;
    case Path::Renumbered:
      search_compacted(fc.task, codes, prepared.columns, prepared.specs, prepared.node, scratch, sink);
      break;
  }
  return std::move(sink.scored);
}

/// The growers' best scored split of the node, by the search as grown
/// (best_of_block) or by the growers' sink on either way of searching.
std::optional<ScoredSplit> best_scored_split(const FastCase& fc, const EncodedFeatures& encoded, HistogramScratch& scratch,
                                       const Aggregator& aggregator, Path path) {
  const PreparedNode prepared(fc, encoded);
  const CodeRows codes = code_rows(encoded);
  if (path == Path::AsGrown) {
    return best_of_block(fc.task, codes, prepared.columns, prepared.specs, prepared.node, aggregator, scratch);
  }
  BestSplitSink sink(prepared.node.n_folds, aggregator, scratch.fold_scores, scratch.best_fold_scores);
  if (path == Path::FullHistograms) {
    search_histograms(fc.task, codes, prepared.columns, prepared.specs, prepared.node, scratch, sink, 1);
  } else {
    search_compacted(fc.task, codes, prepared.columns, prepared.specs, prepared.node, scratch, sink);
  }
  return sink.best();
}

/// The scored splits of one feature, from the definition. Learned sides
/// (when the node has a usable missing sample): each candidate with missing
/// values right, then left, then a continuous feature's missing values alone.
std::vector<ScoredSplit> brute_force(const FastCase& fc, const EncodedFeatures& encoded, std::uint64_t feature) {
  const FeatureBins& bins = encoded.bins[feature];
  const std::uint64_t B = bins.n_codes;
  const bool threshold = side_test(fc.config.split_style, !bins.is_continuous) == SideTest::Threshold;
  const SideTest test = threshold ? SideTest::Threshold : SideTest::Membership;
  const std::uint64_t C = n_classes(fc.task);
  const FoldAssignment folds = assign_folds(fc.run, fc.config.cv_folds, fc.config.cv_seed, fc.config.cv_shuffle);
  const auto label_usable = [&](std::uint32_t s) { return C == 0 || fc.targets.labels[s] < C; };
  const auto missing = [&](std::uint32_t s) { return encoded.code(s, feature) >= B; };
  const bool learn = fc.config.missing == MissingSide::Learn &&
                     std::any_of(fc.run.begin(), fc.run.end(), [&](std::uint32_t s) { return label_usable(s) && missing(s); });
  // A sample counts when its label is one and its code a real code (or, with
  // learned sides, the missing code).
  const auto usable = [&](std::uint32_t s) { return label_usable(s) && (learn || !missing(s)); };
  std::vector<std::pair<std::uint32_t, int>> variants;  // code, 0 right / 1 left / 2 alone
  for (std::uint64_t b = 0; b < B; ++b) {
    if (threshold && b + 1 == B) continue;
    bool present = false;
    for (const auto s : fc.run) present = present || (usable(s) && encoded.code(s, feature) == b);
    if (!present) continue;
    variants.emplace_back(static_cast<std::uint32_t>(b), 0);
    if (learn) variants.emplace_back(static_cast<std::uint32_t>(b), 1);
  }
  if (learn && bins.is_continuous) variants.emplace_back(kMissingAlone, 2);
  std::vector<ScoredSplit> out;
  for (const auto& [b, kind] : variants) {
    std::vector<double> scores;
    for (std::uint64_t f = 0; f < folds.n_folds; ++f) {
      // Sides of the held-out fold and of the other folds, by the side rule.
      Ids valid, vl, vr, tl, tr;
      for (std::size_t p = 0; p < folds.sample_indices.size(); ++p) {
        const std::uint32_t s = folds.sample_indices[p];
        if (!usable(s)) continue;
        const bool left = missing(s) ? kind == 1
                                     : kind == 2 || goes_left(test, encoded.code(s, feature), static_cast<std::uint16_t>(b));
        if (folds.fold_ids[p] == f) valid.push_back(s);
        (folds.fold_ids[p] == f ? (left ? vl : vr) : (left ? tl : tr)).push_back(s);
      }
      if (const auto score = reference_fold_score(fc.task, fc.targets, tl, tr, valid, vl, vr)) scores.push_back(*score);
    }
    out.push_back(make_scored_split(feature, b, scores, folds.n_folds, Aggregator::mean()));
    out.back().missing_left = kind == 1;
  }
  return out;
}

void expect_same_scored_splits(const std::vector<ScoredSplit>& got, const std::vector<ScoredSplit>& expected) {
  ASSERT_EQ(got.size(), expected.size());
  for (std::size_t r = 0; r < got.size(); ++r) {
    EXPECT_EQ(got[r].feature, expected[r].feature);
    EXPECT_EQ(got[r].code, expected[r].code);
    EXPECT_EQ(got[r].missing_left, expected[r].missing_left);
    EXPECT_EQ(got[r].stats.n_folds, expected[r].stats.n_folds);
    ASSERT_EQ(got[r].stats.scores.size(), expected[r].stats.scores.size()) << "code " << got[r].code;
    for (std::size_t k = 0; k < got[r].stats.scores.size(); ++k) {
      EXPECT_EQ(std::bit_cast<std::uint64_t>(got[r].stats.scores[k]),
                std::bit_cast<std::uint64_t>(expected[r].stats.scores[k]))
          << "code " << got[r].code << " fold score " << k;
    }
  }
}

class FastSearchTest : public ::testing::TestWithParam<std::tuple<FastSearchCase, SplitStyle, std::uint64_t>> {};

TEST_P(FastSearchTest, BlockSearchMatchesBruteForce) {
  const auto [c, style, seed] = GetParam();
  FastCase fc = random_case(c, style, seed, 5 + seed * 23 % 300);
  if (seed % 2 == 0) fc.config.missing = MissingSide::Learn;
  HistogramScratch scratch;
  search(random_case(c, style, seed + 50, 400), encode_columns(random_case(c, style, seed + 50, 400).columns, 40),
         1, scratch);  // a larger search leaves the scratch dirty
  for (const bool narrow : {true, false}) {
    const EncodedFeatures encoded = encode_columns(fc.columns, fc.config.n_bins, narrow);
    const auto scored = search(fc, encoded, 1, scratch);
    ASSERT_EQ(scored.size(), fc.columns.size());
    for (std::uint64_t f = 0; f < fc.columns.size(); ++f) expect_same_scored_splits(scored[f], brute_force(fc, encoded, f));
  }
}

INSTANTIATE_TEST_SUITE_P(RandomNodes, FastSearchTest,
                         ::testing::Combine(::testing::Values(FastSearchCase::Variance, FastSearchCase::Gini, FastSearchCase::Entropy,
                                                              FastSearchCase::WeightedF1),
                                            ::testing::Values(SplitStyle::Threshold, SplitStyle::Bin),
                                            ::testing::Range<std::uint64_t>(1, 9)));

// Small nodes of a column with many bins, so that most codes, the last
// often among them, are absent: renumbering the node's codes gives the same
// scored splits, bit for bit, as the full histograms, with targets whose sums
// depend on their order; and keeping only each feature's best scored split keeps
// the one choose_best_split takes from all of them, under every aggregator.
TEST_P(FastSearchTest, RenumberedSmallNodesAndBestSplitsMatchFullHistograms) {
  const auto [c, style, seed] = GetParam();
  FastCase fc = random_case(c, style, seed, 600);
  fc.config.n_bins = 64;
  if (seed % 3 != 0) fc.config.missing = MissingSide::Learn;
  std::mt19937_64 rng(seed);
  fc.columns[0] = random_continuous(rng, 600, 120);
  std::uniform_real_distribution<double> target(-5.0, 5.0);
  for (double& v : fc.targets.values) v = target(rng);
  fc.run.resize(3 + seed * 13 % 90);
  for (const bool narrow : {true, false}) {
    const EncodedFeatures encoded = encode_columns(fc.columns, fc.config.n_bins, narrow);
    HistogramScratch full, renumbered;
    const char* names[] = {"mean", "median", "trimmed_mean", "signal_to_noise", "mean_minus_lambda_std"};
    const Aggregator aggregator = Aggregator::from_name(names[seed % 5], 0.25, 0.5, 0.75);
    const auto expected = search(fc, encoded, 1, full, aggregator, Path::FullHistograms);
    const auto scored = search(fc, encoded, 1, renumbered, aggregator, Path::Renumbered);
    for (std::uint64_t f = 0; f < fc.columns.size(); ++f) expect_same_scored_splits(scored[f], expected[f]);
    const std::vector<ScoredSplit> pooled = pool_scored_splits(expected);
    const ScoredSplit* chosen = choose_best_split(pooled);
    for (const Path path : {Path::AsGrown, Path::FullHistograms, Path::Renumbered}) {
      const std::optional<ScoredSplit> best = best_scored_split(fc, encoded, renumbered, aggregator, path);
      ASSERT_EQ(best.has_value(), chosen != nullptr);
      if (chosen != nullptr) expect_same_scored_splits({*best}, {*chosen});
    }
  }
}

// A node with no more samples than folds (one sample a fold at most) has no
// finite scored split in any task, and the best-split search says so without
// searching: the full search over the same node agrees.
TEST(FastSearch, NodesWithoutTwoSamplesInAFoldHaveNoBestSplit) {
  for (const FastSearchCase c : {FastSearchCase::Variance, FastSearchCase::Gini, FastSearchCase::WeightedF1}) {
    for (std::uint64_t seed = 1; seed <= 6; ++seed) {
      FastCase fc = random_case(c, SplitStyle::Threshold, seed, 40);
      fc.config.cv_folds = 2 + seed;
      fc.run.resize(std::min<std::size_t>(fc.run.size(), seed + 1));  // n <= K
      const EncodedFeatures encoded = encode_columns(fc.columns, fc.config.n_bins);
      HistogramScratch scratch;
      const auto scored = search(fc, encoded, 1, scratch);
      EXPECT_EQ(choose_best_split(pool_scored_splits(scored)), nullptr);
      const PreparedNode prepared(fc, encoded);
      EXPECT_FALSE(best_of_block(fc.task, code_rows(encoded), prepared.columns, prepared.specs, prepared.node,
                                 Aggregator::mean(), scratch));
    }
  }
}

// A node large enough that its samples are shared out over threads (whole
// folds for the regression sums, any share for class counts).
TEST(FastSearch, ThreadsSharingALargeNodeMatchBruteForce) {
  for (const FastSearchCase c : {FastSearchCase::Variance, FastSearchCase::Entropy, FastSearchCase::WeightedF1}) {
    FastCase fc = random_case(c, SplitStyle::Threshold, 7, 12000);
    if (c != FastSearchCase::Entropy) fc.config.missing = MissingSide::Learn;
    const EncodedFeatures encoded = encode_columns(fc.columns, fc.config.n_bins);
    HistogramScratch scratch;
    const auto scored = search(fc, encoded, 3, scratch);
    for (std::uint64_t f = 0; f < fc.columns.size(); ++f) expect_same_scored_splits(scored[f], brute_force(fc, encoded, f));
  }
}

// Accuracy, B = 2: a held-out fold with two samples of class 0 at code 0 and
// two of class 1 at code 1, trained on the same pattern: children are always
// right (1.0), the unsplit node predicts class 0 and is right half the time.
TEST(FastSearch, WorkedObjectiveFold) {
  FastCase fc;
  fc.task = ObjectiveTask{Objective::accuracy(), 2};
  fc.config.n_bins = 2;
  fc.config.cv_folds = 2;
  fc.config.cv_shuffle = false;
  fc.columns = {FeatureColumn{false, {0, 0, 1, 1, 0, 0, 1, 1}, {}}};
  fc.targets.labels = {0, 0, 1, 1, 0, 0, 1, 1};
  fc.targets.values.assign(8, 0.0);
  fc.run = {0, 1, 2, 3, 4, 5, 6, 7};
  HistogramScratch scratch;
  const auto scored = search(fc, encode_columns(fc.columns, 2), 1, scratch)[0];
  ASSERT_EQ(scored.size(), 1u);
  EXPECT_EQ(scored[0].stats.scores, (std::vector<double>{0.5, 0.5}));
}

}  // namespace
}  // namespace quor
