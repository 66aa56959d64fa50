// A small reference grower written from the definition, node by node
// (recursive, literal, slow), against both production growers on random
// data: the trees must agree bit for bit, split scores included. Targets are
// small integers, so fast mode's histogram sums are exact and its scores are
// those of the gathered targets. Weighted problems draw weights in quarters
// up to 4, so that every weighted sum is exact in whatever order it runs,
// and the weighted reference gathers and sums as the definition reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <tuple>

#include "columns.hpp"
#include "fast_grower.hpp"
#include "folds.hpp"
#include "random_data.hpp"
#include "reference.hpp"
#include "same_tree.hpp"
#include "strict_grower.hpp"

namespace quor {
namespace {
using quor::testing::encode_columns;
using quor::testing::fit_fast_columns;

using quor::testing::bin_of;
using quor::testing::assign_folds;
using quor::testing::FoldAssignment;

using quor::testing::expect_same_tree;
using quor::testing::Ids;
using quor::testing::random_categorical;
using quor::testing::random_continuous;
using quor::testing::reference_fold_score;

// The growers take a fold's honest score from its sums in closed form, the
// reference row by row from the definition: the same to rounding.
constexpr double kCreditTolerance = 1e-9;

/// The rank of each category by its mean target (weighted; a category
/// without weight takes the overall mean), ties in category order: the order
/// a set split's categories are scanned in, written out.
void rank_by_mean_target(const std::vector<double>& weight, const std::vector<double>& target, double total_weight,
                         double total_target, std::span<std::uint32_t> ranks) {
  const std::size_t n = ranks.size();
  std::vector<double> statistic(n, 0.0);
  for (std::size_t i = 0; i < n && total_weight > 0.0; ++i) {
    statistic[i] = weight[i] > 0.0 ? target[i] / weight[i] : total_target / total_weight;
  }
  std::vector<std::uint32_t> order(n);
  for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<std::uint32_t>(i);
  std::stable_sort(order.begin(), order.end(), [&](auto a, auto b) { return statistic[a] < statistic[b]; });
  for (std::size_t r = 0; r < n; ++r) ranks[order[r]] = static_cast<std::uint32_t>(r);
}

struct Problem {
  TreeConfig config;
  Task task;
  Aggregator aggregator = Aggregator::mean();
  std::vector<FeatureColumn> columns;
  Targets targets;
  std::vector<double> weights;  // empty: unweighted
};

/// The reference: grows into `builder` from the node's samples.
class Reference {
 public:
  /// With `held_out`, every split also gets its held-out credits.
  explicit Reference(const Problem& p, bool held_out = false) : p_(p), held_out_(held_out) {}

  Tree strict() {
    Ids all(p_.targets.labels.size());
    for (std::uint64_t s = 0; s < all.size(); ++s) all[s] = s;
    root_weight_ = quor::testing::side_weight(p_.weights, all);
    grow_strict_node(all, 0, TreeBuilder::npos, false);
    return credited(labelled(std::move(builder_).finish()));
  }

  Tree fast() {
    encoded_ = encode_columns(p_.columns, p_.config.n_bins);
    run_.resize(p_.targets.labels.size());
    for (std::uint32_t s = 0; s < run_.size(); ++s) run_[s] = s;
    root_weight_ = quor::testing::side_weight(p_.weights, Ids(run_.begin(), run_.end()));
    grow_fast_node(0, run_.size(), 0, TreeBuilder::npos, false);
    return credited(labelled(std::move(builder_).finish()));
  }

 private:
  /// Under the metric rule the finished tree's leaves are relabelled: from
  /// their majorities, with two classes the best of "the k leaves of largest
  /// share of class 1 predict 1", then one leaf's label at a time (leaf, then
  /// class order) while the metric of the whole labelling rises, for at most
  /// 16 passes; every metric taken afresh from the leaves' class counts (or
  /// class weight sums, weighted).
  Tree labelled(Tree tree) const {
    const auto* task = std::get_if<ObjectiveTask>(&p_.task);
    if (task == nullptr || task->labels != LabelRule::Metric) return tree;
    const std::uint64_t k = task->n_classes;
    std::vector<std::size_t> leaves;
    for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
      if (tree.nodes[i].is_leaf()) leaves.push_back(i);
    }
    const auto score = [&](const std::vector<std::uint64_t>& labels) {
      ConfusionWeights counts(k);
      for (std::size_t l = 0; l < leaves.size(); ++l) counts.add(labels[l], leaf_counts_.at(leaves[l]));
      return task->objective.score(counts);
    };
    std::vector<std::uint64_t> labels;
    for (const std::size_t i : leaves) labels.push_back(tree.nodes[i].predicted_class);
    double best = score(labels);
    if (k == 2) {
      std::vector<std::size_t> order(leaves.size());
      for (std::size_t l = 0; l < order.size(); ++l) order[l] = l;
      const auto share = [&](std::size_t l) {
        const auto& c = leaf_counts_.at(leaves[l]);
        return std::make_pair(c[1], c[0] + c[1]);
      };
      std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const auto [ones_a, all_a] = share(a);
        const auto [ones_b, all_b] = share(b);
        return ones_a * all_b > ones_b * all_a;
      });
      std::vector<std::uint64_t> best_labels = labels;
      for (std::size_t n_ones = 0; n_ones <= order.size(); ++n_ones) {
        std::vector<std::uint64_t> trial(leaves.size(), 0);
        for (std::size_t j = 0; j < n_ones; ++j) trial[order[j]] = 1;
        if (score(trial) > best) {
          best = score(trial);
          best_labels = trial;
        }
      }
      labels = best_labels;
    }
    for (int pass = 0; pass < 16; ++pass) {
      bool changed = false;
      for (std::size_t l = 0; l < leaves.size(); ++l) {
        for (std::uint64_t c = 0; c < k; ++c) {
          std::vector<std::uint64_t> trial = labels;
          trial[l] = c;
          if (c != labels[l] && score(trial) > best) {
            best = score(trial);
            labels = trial;
            changed = true;
          }
        }
      }
      if (!changed) break;
    }
    for (std::size_t l = 0; l < leaves.size(); ++l) tree.nodes[leaves[l]].predicted_class = labels[l];
    return tree;
  }

  Tree credited(Tree tree) const {
    tree.has_credits = held_out_;
    return tree;
  }

  /// Writes a leaf and returns true when the node stops before any search.
  bool leaf_if_stopped(std::size_t node, const Ids& samples, std::uint64_t depth) {
    const TreeConfig& c = p_.config;
    double impurity = 0.0;
    if (std::holds_alternative<RegressionTask>(p_.task)) {
      impurity = quor::testing::reference_impurity(p_.task, p_.targets, samples);
    } else {
      std::vector<std::uint64_t> y;
      for (const auto s : samples) y.push_back(p_.targets.labels[s]);
      const Criterion criterion = std::holds_alternative<ClassificationTask>(p_.task)
                                      ? std::get<ClassificationTask>(p_.task).criterion
                                      : Criterion::gini();
      impurity = criterion.impurity(y, n_classes(p_.task));
    }
    const bool stop = samples.size() < std::max<std::uint64_t>(2, c.min_samples_split) ||
                      (c.max_depth && *c.max_depth <= depth) || impurity <= 0.0;
    if (stop) write_leaf(node, samples);
    return stop;
  }

  void write_leaf(std::size_t node, const Ids& samples) {
    if (!p_.weights.empty()) return write_weighted_leaf(node, samples);
    if (std::holds_alternative<RegressionTask>(p_.task)) {
      double sum = -0.0;
      for (const auto s : samples) sum += p_.targets.values[s];
      builder_.make_regression_leaf(node, sum / static_cast<double>(samples.size()), samples.size());
      return;
    }
    const std::uint64_t k = n_classes(p_.task);
    const auto counts = quor::testing::class_counts(p_.targets, samples, k);
    std::uint64_t counted = 0, best = 0;
    for (std::uint64_t c = 0; c < k; ++c) {
      counted += counts[c];
      if (counts[c] > counts[best]) best = c;
    }
    std::vector<double> proba(k, 0.0);
    for (std::uint64_t c = 0; c < k && counted > 0; ++c) {
      proba[c] = static_cast<double>(counts[c]) / static_cast<double>(counted);
    }
    builder_.make_classification_leaf(node, proba, best, samples.size());
    leaf_counts_[node].assign(counts.begin(), counts.end());
  }

  /// The weighted leaf: the weighted mean, or the class weight sums over
  /// the counted weight with the first class of largest weight; its weight
  /// that of all its samples.
  void write_weighted_leaf(std::size_t node, const Ids& samples) {
    const double total = quor::testing::side_weight(p_.weights, samples);
    if (std::holds_alternative<RegressionTask>(p_.task)) {
      double sum = 0.0;
      for (const auto s : samples) sum += p_.weights[s] * p_.targets.values[s];
      builder_.make_regression_leaf(node, sum / total, samples.size());
    } else {
      const std::uint64_t k = n_classes(p_.task);
      const auto sums = quor::testing::class_weights(p_.targets, p_.weights, samples, k);
      double counted = 0.0;
      std::uint64_t best = 0;
      for (std::uint64_t c = 0; c < k; ++c) {
        counted += sums[c];
        if (sums[c] > sums[best]) best = c;
      }
      std::vector<double> proba(k, 0.0);
      for (std::uint64_t c = 0; c < k && counted > 0; ++c) proba[c] = sums[c] / counted;
      builder_.make_classification_leaf(node, proba, best, samples.size());
      leaf_counts_[node] = sums;
    }
    builder_.set_leaf_weight(node, total);
  }

  /// Whether both children hold at least min_weight_fraction_leaf of the
  /// root's weight.
  bool heavy_enough(const Ids& left, const Ids& right) const {
    const double least = p_.config.min_weight_fraction_leaf * root_weight_;
    return least <= 0.0 || (quor::testing::side_weight(p_.weights, left) >= least &&
                            quor::testing::side_weight(p_.weights, right) >= least);
  }

  /// A candidate scored by the definition: fold scores from the given sides,
  /// summarised.
  /// Each fold's score of a candidate, by fold; none where the fold gives none.
  using ByFold = std::vector<std::optional<double>>;

  template <class Sides>
  ScoredSplit score_candidate(std::uint64_t feature, std::uint32_t code, std::uint64_t n_folds, const Sides& sides,
                              std::vector<ByFold>& by_fold) {
    std::vector<double> scores;
    ByFold& own = by_fold.emplace_back();
    for (std::uint64_t f = 0; f < n_folds; ++f) {
      Ids valid, vl, vr, tl, tr;
      sides(f, valid, vl, vr, tl, tr);
      const auto score = p_.weights.empty()
                             ? reference_fold_score(p_.task, p_.targets, tl, tr, valid, vl, vr)
                             : quor::testing::reference_weighted_fold_score(p_.task, p_.targets, p_.weights, tl, tr,
                                                                            valid, vl, vr);
      if (score) scores.push_back(*score);
      own.push_back(score);
    }
    return make_scored_split(feature, code, std::move(scores), n_folds, p_.aggregator);
  }

  /// The held-out credits of a node from its candidates' scores by fold:
  /// fold k takes the candidate that the node's choice rule prefers when each
  /// candidate is scored by the aggregate of the other folds' scores, and
  /// credits its feature with its honest score on fold k, `honest(candidate,
  /// k)` (the objective: its own score on fold k, 0 when fold k gives it
  /// none); a feature's credit is the sum over the folds that chose it, in
  /// fold order, over the fold count.
  template <class Honest>
  std::vector<FeatureCredit> credits(const std::vector<ScoredSplit>& scored, const std::vector<ByFold>& by_fold,
                                     std::uint64_t n_folds, const Honest& honest) const {
    std::map<std::uint64_t, double> sums;
    for (std::uint64_t k = 0; k < n_folds; ++k) {
      std::vector<ScoredSplit> without_k = scored;
      for (std::size_t i = 0; i < scored.size(); ++i) {
        std::vector<double> others;
        for (std::uint64_t f = 0; f < n_folds; ++f) {
          if (f != k && by_fold[i][f]) others.push_back(*by_fold[i][f]);
        }
        without_k[i].score = p_.aggregator.score(others);
      }
      const ScoredSplit* pick = choose_best_split(without_k);
      if (pick == nullptr) continue;
      const auto i = static_cast<std::size_t>(pick - without_k.data());
      const auto [at, fresh] = sums.try_emplace(pick->feature, -0.0);
      at->second += std::holds_alternative<ObjectiveTask>(p_.task) ? by_fold[i][k].value_or(0.0) : honest(*pick, k);
    }
    std::vector<FeatureCredit> out;
    for (const auto& [feature, sum] : sums) out.push_back(FeatureCredit{feature, sum / static_cast<double>(n_folds)});
    return out;
  }

  const ScoredSplit* accepted(const std::vector<ScoredSplit>& scored) const {
    const ScoredSplit* best = choose_best_split(scored);
    return best != nullptr && best->score > p_.config.min_impurity_decrease ? best : nullptr;
  }

  /// A sample's bin against `edges` (or its category code); kMissingCode
  /// when missing.
  std::uint32_t code_of(const FeatureColumn& column, const std::vector<double>& edges, std::uint64_t s) const {
    if (column.is_categorical) return column.codes[s];
    const auto b = bin_of(edges, column.values[s]);
    return b ? static_cast<std::uint32_t>(*b) : kMissingCode;
  }
  std::vector<double> edges_of(const FeatureColumn& column, const Ids& samples) const {
    if (column.is_categorical) return {};
    std::vector<double> values;
    for (const auto s : samples) values.push_back(column.values[s]);
    return quantile_edges(values, p_.config.n_bins);
  }

  /// Whether a node of n rows holding k categories splits them by sets: at
  /// least 4 rows per category.
  bool sets_here(std::size_t n, std::size_t k) const {
    return p_.config.categorical_split == CategoricalSplit::Set && k > 0 && n / 4 >= k;
  }

  std::vector<std::uint32_t> node_categories(const FeatureColumn& column, const Ids& samples) const {
    std::set<std::uint32_t> present;
    for (const auto s : samples) {
      if (column.codes[s] != kMissingCode) present.insert(column.codes[s]);
    }
    return {present.begin(), present.end()};
  }

  /// Set splits: one order for regression and two classes (the mean, the
  /// share of class 1), one per class (its share) otherwise.
  std::uint64_t n_orders() const {
    const std::uint64_t k = n_classes(p_.task);
    return std::holds_alternative<RegressionTask>(p_.task) || k <= 2 ? 1 : k;
  }

  /// Each order's rank of each category (ranks[order·K + i]) by its
  /// What sample `s` (weight `w`) adds to the target sum of order `k`: its
  /// weighted value, or its weight when its class is the order's.
  double order_target(std::size_t s, double w, std::size_t k) const {
    if (std::holds_alternative<RegressionTask>(p_.task)) {
      return p_.weights.empty() ? p_.targets.values[s] : w * p_.targets.values[s];
    }
    return p_.targets.labels[s] == (n_orders() == 1 ? 1 : k) ? w : 0.0;
  }

  /// statistic over `part`: its target (weight) sum over its weight, that of
  /// the part's samples with a category when the part has none of it; equal
  /// statistics by code.
  std::vector<std::uint32_t> category_ranks(const FeatureColumn& column, const Ids& part,
                                            const std::vector<std::uint32_t>& categories) const {
    const std::size_t K = categories.size();
    std::vector<std::uint32_t> ranks(n_orders() * K);
    for (std::uint64_t k = 0; k < n_orders(); ++k) {
      double total_weight = 0.0, total_target = 0.0;
      std::vector<double> weight(K, 0.0), target(K, 0.0);
      for (const auto s : part) {
        const double w = quor::testing::weight_of(p_.weights, s);
        const double t = order_target(s, w, k);
        const auto it = std::find(categories.begin(), categories.end(), column.codes[s]);
        if (it == categories.end()) continue;  // missing: no part of the order
        total_weight += w;
        total_target += t;
        weight[static_cast<std::size_t>(it - categories.begin())] += w;
        target[static_cast<std::size_t>(it - categories.begin())] += t;
      }
      rank_by_mean_target(weight, target, total_weight, total_target,
                          std::span<std::uint32_t>(ranks).subspan(k * K, K));
    }
    return ranks;
  }

  /// Candidate j of order k (code k·K + j) sends the categories of ranks
  /// 0 … j in each fold's order (over its training part) left; with learned
  /// sides each with missing values right, then each with them left.
  void add_set_candidates(std::uint64_t feature, const Ids& samples, const StrictFolds& folds,
                          const std::vector<std::uint32_t>& categories, bool learn, std::vector<ScoredSplit>& scored,
                          std::vector<ByFold>& by_fold) {
    const FeatureColumn& column = p_.columns[feature];
    const std::size_t K = categories.size();
    std::vector<std::vector<std::uint32_t>> fold_ranks;
    for (std::uint64_t f = 0; f < folds.count(); ++f) {
      const Ids valid(folds.valid(f).begin(), folds.valid(f).end());
      Ids train;
      for (const auto s : samples) {
        if (std::find(valid.begin(), valid.end(), s) == valid.end()) train.push_back(s);
      }
      fold_ranks.push_back(category_ranks(column, train, categories));
    }
    for (int kind = 0; kind < (learn ? 2 : 1); ++kind) {
      for (std::uint64_t k = 0; k < n_orders(); ++k) {
        for (std::size_t j = 0; j < K; ++j) {
          const auto code = static_cast<std::uint32_t>(k * K + j);
          scored.push_back(score_candidate(feature, code, folds.count(), [&](std::uint64_t f, Ids& valid, Ids& vl,
                                                                            Ids& vr, Ids& tl, Ids& tr) {
            const auto left_of = [&](std::uint64_t s) {
              const std::uint32_t c = column.codes[s];
              if (c == kMissingCode) return kind == 1;
              const auto i = static_cast<std::size_t>(std::find(categories.begin(), categories.end(), c) -
                                                      categories.begin());
              return fold_ranks[f][k * K + i] <= j;
            };
            valid.assign(folds.valid(f).begin(), folds.valid(f).end());
            for (const auto s : folds.samples) {
              if (std::find(valid.begin(), valid.end(), s) == valid.end()) (left_of(s) ? tl : tr).push_back(s);
            }
            for (const auto s : valid) (left_of(s) ? vl : vr).push_back(s);
          }, by_fold));
          scored.back().missing_left = kind == 1;
        }
      }
    }
  }

  /// The stored set of candidate `code`: its categories by their order over
  /// the whole node, as a bitset of codes.
  std::vector<std::uint64_t> node_set(const FeatureColumn& column, const Ids& samples, std::uint32_t code) const {
    std::set<std::uint32_t> present;
    for (const auto s : samples) {
      if (column.codes[s] != kMissingCode) present.insert(column.codes[s]);
    }
    const std::vector<std::uint32_t> categories(present.begin(), present.end());
    const std::size_t K = categories.size();
    const std::vector<std::uint32_t> ranks = category_ranks(column, samples, categories);
    std::vector<std::uint64_t> words;
    for (std::size_t i = 0; i < K; ++i) {
      if (ranks[(code / K) * K + i] > code % K) continue;
      const std::uint32_t c = categories[i];
      if (words.size() <= c / 64) words.resize(c / 64 + 1, 0);
      words[c / 64] |= std::uint64_t{1} << (c % 64);
    }
    return words;
  }

  /// The split a strict node of `samples` stores for candidate `best`;
  /// nullopt when no split can be stored for it.
  std::optional<Split> strict_split(const Ids& samples, const ScoredSplit& best) const {
    const FeatureColumn& column = p_.columns[best.feature];
    Split split;
    split.feature = best.feature;
    split.score = best.score;
    split.missing_left = best.missing_left;
    if (column.is_categorical && sets_here(samples.size(), node_categories(column, samples).size())) {
      split.is_categorical = true;
      split.category_set = node_set(column, samples, best.code);
    } else if (column.is_categorical) {
      split.is_categorical = true;
      split.category = best.code;
    } else if (best.code != kMissingAlone) {
      const auto edges = edges_of(column, samples);
      if (best.code < edges.size()) split.upper = edges[best.code];
      if (p_.config.split_style == SplitStyle::Bin && best.code > 0) split.lower = edges[best.code - 1];
      // Every finite value left: a split only when missing values go right
      // and the sides are learned (missing values alone).
      if (p_.config.split_style == SplitStyle::Threshold && !split.upper &&
          (split.missing_left || p_.config.missing != MissingSide::Learn)) {
        return std::nullopt;
      }
    }
    return split;
  }

  bool strict_left(const Split& split, std::uint64_t s) const {
    const FeatureColumn& column = p_.columns[split.feature];
    const auto in_set = [&](std::uint32_t code) {
      return code / 64 < split.category_set.size() && ((split.category_set[code / 64] >> (code % 64)) & 1u) != 0;
    };
    if (column.is_categorical && !split.category_set.empty()) {
      return column.codes[s] == kMissingCode ? split.missing_left : in_set(column.codes[s]);
    }
    if (column.is_categorical) {
      return column.codes[s] == kMissingCode ? split.missing_left : column.codes[s] == split.category;
    }
    const double x = column.values[s];
    return std::isfinite(x) ? (!split.lower || x >= *split.lower) && (!split.upper || x < *split.upper)
                            : split.missing_left;
  }

  void grow_strict_node(const Ids& samples, std::uint64_t depth, std::size_t parent, bool is_left) {
    const std::size_t node = builder_.begin_node(parent, is_left);
    if (leaf_if_stopped(node, samples, depth)) return;
    const StrictFolds folds = make_folds(samples, p_.config.cv_folds, p_.config.cv_seed, p_.config.cv_shuffle);
    std::vector<ScoredSplit> scored;
    std::vector<ByFold> by_fold;
    for (std::uint64_t feature = 0; feature < p_.columns.size(); ++feature) {
      const FeatureColumn& column = p_.columns[feature];
      const SideTest test = side_test(p_.config.split_style, column.is_categorical);
      std::set<std::uint32_t> candidates;
      const auto node_edges = edges_of(column, samples);
      for (const auto s : samples) candidates.insert(code_of(column, node_edges, s));
      const bool has_missing = candidates.erase(kMissingCode) > 0;
      if (candidates.empty()) continue;
      // Learned sides: every candidate with missing values right, then left,
      // then (continuous) every finite value left and missing values right.
      const bool learn = p_.config.missing == MissingSide::Learn && has_missing;
      if (column.is_categorical && sets_here(samples.size(), candidates.size())) {
        add_set_candidates(feature, samples, folds, {candidates.begin(), candidates.end()}, learn, scored, by_fold);
        continue;
      }
      std::vector<std::pair<std::uint32_t, int>> variants;  // code, 0 right / 1 left / 2 alone
      for (const std::uint32_t code : candidates) variants.emplace_back(code, 0);
      if (learn) {
        for (const std::uint32_t code : candidates) variants.emplace_back(code, 1);
        if (!column.is_categorical) variants.emplace_back(kMissingAlone, 2);
      }
      for (const auto& [code, kind] : variants) {
        const auto left_of = [&, code = code, kind = kind](std::uint32_t c) {
          if (c == kMissingCode) return kind == 1;
          return kind == 2 || goes_left(test, c, code);
        };
        scored.push_back(score_candidate(feature, code, folds.count(), [&](std::uint64_t f, Ids& valid, Ids& vl, Ids& vr, Ids& tl, Ids& tr) {
          valid.assign(folds.valid(f).begin(), folds.valid(f).end());
          Ids train;
          for (const auto s : folds.samples) {
            if (std::find(valid.begin(), valid.end(), s) == valid.end()) train.push_back(s);
          }
          const auto edges = edges_of(column, train);
          for (const auto s : train) (left_of(code_of(column, edges, s)) ? tl : tr).push_back(s);
          for (const auto s : valid) (left_of(code_of(column, edges, s)) ? vl : vr).push_back(s);
        }, by_fold));
        scored.back().missing_left = kind == 1;
      }
    }
    const ScoredSplit* best = accepted(scored);
    if (best == nullptr) return write_leaf(node, samples);
    const std::optional<Split> stored = strict_split(samples, *best);
    if (!stored) return write_leaf(node, samples);
    const Split& split = *stored;
    Ids left, right;
    for (const auto s : samples) (strict_left(split, s) ? left : right).push_back(s);
    const std::uint64_t smallest = std::max<std::uint64_t>(1, p_.config.min_samples_leaf);
    if (left.size() < smallest || right.size() < smallest || !heavy_enough(left, right)) {
      return write_leaf(node, samples);
    }
    builder_.make_split(node, split);
    if (held_out_) {
      builder_.set_split_credits(node, credits(scored, by_fold, folds.count(), [&](const ScoredSplit& pick, std::uint64_t k) {
        const std::optional<Split> chosen = strict_split(samples, pick);
        if (!chosen) return 0.0;
        const Ids valid(folds.valid(k).begin(), folds.valid(k).end());
        Ids vl, vr, tl, tr;
        for (const auto s : samples) {
          const bool in_fold = std::find(valid.begin(), valid.end(), s) != valid.end();
          (in_fold ? (strict_left(*chosen, s) ? vl : vr) : (strict_left(*chosen, s) ? tl : tr)).push_back(s);
        }
        return quor::testing::reference_honest_score(p_.task, p_.targets, p_.weights, tl, tr, vl, vr);
      }));
    }
    grow_strict_node(left, depth + 1, node, true);
    grow_strict_node(right, depth + 1, node, false);
  }

  /// Fast mode's ranks of the codes `present` (ranks[order·P + i]) over the
  /// samples of `part` with a code and a usable label, by the rule.
  std::vector<std::uint32_t> fast_code_ranks(std::uint64_t feature, const std::vector<std::uint32_t>& part,
                                             const std::vector<std::uint32_t>& present) const {
    const std::size_t P = present.size();
    const std::uint64_t n_class = n_classes(p_.task);
    std::vector<std::uint32_t> ranks(n_orders() * P);
    for (std::uint64_t k = 0; k < n_orders(); ++k) {
      double total_weight = 0.0, total_target = 0.0;
      std::vector<double> weight(P, 0.0), target(P, 0.0);
      for (const auto s : part) {
        const auto it = std::find(present.begin(), present.end(), encoded_.code(s, feature));
        if (it == present.end() || (n_class > 0 && p_.targets.labels[s] >= n_class)) continue;
        const double w = quor::testing::weight_of(p_.weights, s);
        const double t = order_target(s, w, k);
        total_weight += w;
        total_target += t;
        weight[static_cast<std::size_t>(it - present.begin())] += w;
        target[static_cast<std::size_t>(it - present.begin())] += t;
      }
      rank_by_mean_target(weight, target, total_weight, total_target,
                          std::span<std::uint32_t>(ranks).subspan(k * P, P));
    }
    return ranks;
  }

  /// The codes of a fast node held by a sample with a usable label.
  std::vector<std::uint32_t> fast_present(std::uint64_t feature, const std::vector<std::uint32_t>& run) const {
    const std::uint64_t n_class = n_classes(p_.task);
    std::set<std::uint32_t> codes;
    for (const auto s : run) {
      if (encoded_.code(s, feature) < encoded_.bins[feature].n_codes && (n_class == 0 || p_.targets.labels[s] < n_class)) {
        codes.insert(encoded_.code(s, feature));
      }
    }
    return {codes.begin(), codes.end()};
  }

  template <class Usable>
  void add_fast_set_candidates(std::uint64_t feature, const std::vector<std::uint32_t>& run,
                               const FoldAssignment& folds, bool learn, const Usable& usable,
                               std::vector<ScoredSplit>& scored, std::vector<ByFold>& by_fold) {
    const std::vector<std::uint32_t> present = fast_present(feature, run);
    const std::size_t P = present.size();
    if (P == 0) return;
    std::vector<std::vector<std::uint32_t>> fold_ranks;
    for (std::uint64_t f = 0; f < folds.n_folds; ++f) {
      std::vector<std::uint32_t> train;
      for (std::size_t i = 0; i < folds.sample_indices.size(); ++i) {
        if (folds.fold_ids[i] != f) train.push_back(folds.sample_indices[i]);
      }
      fold_ranks.push_back(fast_code_ranks(feature, train, present));
    }
    for (std::uint64_t k = 0; k < n_orders(); ++k) {
      for (std::size_t j = 0; j < P; ++j) {
        for (int kind = 0; kind < (learn ? 2 : 1); ++kind) {
          scored.push_back(score_candidate(feature, static_cast<std::uint32_t>(k * P + j), folds.n_folds,
                                           [&](std::uint64_t f, Ids& valid, Ids& vl, Ids& vr, Ids& tl, Ids& tr) {
            for (std::size_t i = 0; i < folds.sample_indices.size(); ++i) {
              const std::uint32_t s = folds.sample_indices[i];
              if (!usable(s)) continue;
              const std::uint32_t c = encoded_.code(s, feature);
              const auto at = std::find(present.begin(), present.end(), c);
              const bool left = at == present.end()
                                    ? kind == 1
                                    : fold_ranks[f][k * P + static_cast<std::size_t>(at - present.begin())] <= j;
              if (folds.fold_ids[i] == f) valid.push_back(s);
              (folds.fold_ids[i] == f ? (left ? vl : vr) : (left ? tl : tr)).push_back(s);
            }
          }, by_fold));
          scored.back().missing_left = kind == 1;
        }
      }
    }
  }

  /// The stored set of a fast node's candidate `code`, over the node's run.
  std::vector<std::uint64_t> fast_node_set(std::uint64_t feature, const std::vector<std::uint32_t>& run,
                                           std::uint32_t code) const {
    const std::vector<std::uint32_t> present = fast_present(feature, run);
    const std::size_t P = present.size();
    const std::vector<std::uint32_t> ranks = fast_code_ranks(feature, run, present);
    std::vector<std::uint64_t> words;
    for (std::size_t i = 0; i < P; ++i) {
      if (ranks[(code / P) * P + i] > code % P) continue;
      const std::uint32_t c = encoded_.bins[feature].categories[present[i]];
      if (words.size() <= c / 64) words.resize(c / 64 + 1, 0);
      words[c / 64] |= std::uint64_t{1} << (c % 64);
    }
    return words;
  }

  /// A fast node's stored split of a candidate, and how its codes go.
  struct FastSplit {
    Split split;
    bool alone = false;  // every finite code left
    std::uint32_t code = 0;
    SideTest test = SideTest::Threshold;
  };

  /// The split a fast node of `run` stores for candidate `best`; nullopt
  /// when no split can be stored for it.
  std::optional<FastSplit> fast_split(const std::vector<std::uint32_t>& run, const ScoredSplit& best) const {
    const FeatureBins& bins = encoded_.bins[best.feature];
    FastSplit out;
    out.test = side_test(p_.config.split_style, !bins.is_continuous);
    out.code = best.code;
    Split& split = out.split;
    split.feature = best.feature;
    split.score = best.score;
    split.missing_left = best.missing_left;
    out.alone = best.code == kMissingAlone;
    if (!bins.is_continuous && sets_here(run.size(), fast_present(best.feature, run).size())) {
      split.is_categorical = true;
      split.category_set = fast_node_set(best.feature, run, best.code);
    } else if (!bins.is_continuous) {
      split.is_categorical = true;
      split.category = bins.categories[best.code];
    } else if (!out.alone) {
      if (best.code < bins.edges.size()) split.upper = bins.edges[best.code];
      if (out.test == SideTest::Membership && best.code > 0) split.lower = bins.edges[best.code - 1];
      if (out.test == SideTest::Threshold && !split.upper) {
        if (split.missing_left || p_.config.missing != MissingSide::Learn) return std::nullopt;
        out.alone = true;
      }
    }
    return out;
  }

  bool fast_left(const FastSplit& chosen, std::uint32_t s) const {
    const Split& split = chosen.split;
    const FeatureBins& bins = encoded_.bins[split.feature];
    const std::uint16_t c = encoded_.code(s, split.feature);
    if (c >= bins.n_codes) return split.missing_left;
    if (!split.category_set.empty()) {
      const std::uint32_t category = bins.categories[c];
      return category / 64 < split.category_set.size() && ((split.category_set[category / 64] >> (category % 64)) & 1u);
    }
    return chosen.alone || goes_left(chosen.test, c, static_cast<std::uint16_t>(chosen.code));
  }

  void grow_fast_node(std::size_t begin, std::size_t end, std::uint64_t depth, std::size_t parent, bool is_left) {
    const std::size_t node = builder_.begin_node(parent, is_left);
    const std::vector<std::uint32_t> run(run_.begin() + begin, run_.begin() + end);
    const Ids samples(run.begin(), run.end());
    if (leaf_if_stopped(node, samples, depth)) return;
    const FoldAssignment folds = assign_folds(run, p_.config.cv_folds, p_.config.cv_seed, p_.config.cv_shuffle);
    const std::uint64_t k = n_classes(p_.task);
    std::vector<ScoredSplit> scored;
    std::vector<ByFold> by_fold;
    for (std::uint64_t feature = 0; feature < p_.columns.size(); ++feature) {
      const FeatureBins& bins = encoded_.bins[feature];
      const SideTest test = side_test(p_.config.split_style, !bins.is_continuous);
      const auto label_usable = [&](std::uint32_t s) { return k == 0 || p_.targets.labels[s] < k; };
      const auto missing = [&](std::uint32_t s) { return encoded_.code(s, feature) >= bins.n_codes; };
      // Learned sides: the node's missing samples take part, each candidate
      // scored with them right, then left, then (continuous) alone.
      const bool learn = p_.config.missing == MissingSide::Learn &&
                         std::any_of(run.begin(), run.end(), [&](std::uint32_t s) { return label_usable(s) && missing(s); });
      const auto usable = [&](std::uint32_t s) { return label_usable(s) && (learn || !missing(s)); };
      if (!bins.is_continuous && sets_here(run.size(), fast_present(feature, run).size())) {
        add_fast_set_candidates(feature, run, folds, learn, usable, scored, by_fold);
        continue;
      }
      std::vector<std::pair<std::uint32_t, int>> variants;  // code, 0 right / 1 left / 2 alone
      for (std::uint32_t code = 0; code < bins.n_codes; ++code) {
        if (test == SideTest::Threshold && code + 1 == bins.n_codes) continue;
        if (std::none_of(run.begin(), run.end(), [&](std::uint32_t s) { return usable(s) && encoded_.code(s, feature) == code; })) continue;
        variants.emplace_back(code, 0);
        if (learn) variants.emplace_back(code, 1);
      }
      if (learn && bins.is_continuous) variants.emplace_back(kMissingAlone, 2);
      for (const auto& [code, kind] : variants) {
        scored.push_back(score_candidate(feature, code, folds.n_folds, [&, code = code, kind = kind](std::uint64_t f, Ids& valid, Ids& vl, Ids& vr, Ids& tl, Ids& tr) {
          for (std::size_t i = 0; i < folds.sample_indices.size(); ++i) {
            const std::uint32_t s = folds.sample_indices[i];
            if (!usable(s)) continue;
            const bool left = missing(s) ? kind == 1
                                         : kind == 2 || goes_left(test, encoded_.code(s, feature), static_cast<std::uint16_t>(code));
            if (folds.fold_ids[i] == f) valid.push_back(s);
            (folds.fold_ids[i] == f ? (left ? vl : vr) : (left ? tl : tr)).push_back(s);
          }
        }, by_fold));
        scored.back().missing_left = kind == 1;
      }
    }
    const ScoredSplit* best = accepted(scored);
    if (best == nullptr) return write_leaf(node, samples);
    const std::optional<FastSplit> stored = fast_split(run, *best);
    if (!stored) return write_leaf(node, samples);
    const Split& split = stored->split;
    // The swap partition: left samples keep their order, the right side is
    // what the swaps leave.
    std::size_t i = begin;
    for (std::size_t j = begin; j < end; ++j) {
      if (fast_left(*stored, run_[j])) {
        std::swap(run_[i], run_[j]);
        ++i;
      }
    }
    const std::uint64_t smallest = std::max<std::uint64_t>(1, p_.config.min_samples_leaf);
    if (i - begin < smallest || end - i < smallest ||
        !heavy_enough(Ids(run_.begin() + begin, run_.begin() + i), Ids(run_.begin() + i, run_.begin() + end))) {
      return write_leaf(node, samples);
    }
    builder_.make_split(node, split);
    if (held_out_) {
      builder_.set_split_credits(node, credits(scored, by_fold, folds.n_folds, [&](const ScoredSplit& pick, std::uint64_t k) {
        const std::optional<FastSplit> chosen = fast_split(run, pick);
        if (!chosen) return 0.0;
        Ids vl, vr, tl, tr;
        for (std::size_t r = 0; r < folds.sample_indices.size(); ++r) {
          const std::uint32_t s = folds.sample_indices[r];
          (folds.fold_ids[r] == k ? (fast_left(*chosen, s) ? vl : vr) : (fast_left(*chosen, s) ? tl : tr)).push_back(s);
        }
        return quor::testing::reference_honest_score(p_.task, p_.targets, p_.weights, tl, tr, vl, vr);
      }));
    }
    grow_fast_node(begin, i, depth + 1, node, true);
    grow_fast_node(i, end, depth + 1, node, false);
  }

  const Problem& p_;
  TreeBuilder builder_;
  std::map<std::size_t, std::vector<double>> leaf_counts_;  // class counts (weight sums) of each leaf, by node
  EncodedFeatures encoded_;
  std::vector<std::uint32_t> run_;
  double root_weight_ = 0.0;
  bool held_out_ = false;
};

// The Metric cases label sides and leaves by the metric: a rare class 1.
enum class Case { Mse, Mae, Gini, Entropy, MacroF1, BinaryPrecision, MetricBinaryF1, MetricMacroF1, MetricWeightedFBeta };

bool metric_labels(Case c) {
  return c == Case::MetricBinaryF1 || c == Case::MetricMacroF1 || c == Case::MetricWeightedFBeta;
}

Problem random_problem(Case c, SplitStyle style, std::uint64_t seed, bool weighted = false,
                       MissingSide missing = MissingSide::Right) {
  std::mt19937_64 rng(seed);
  Problem p;
  p.config.missing = missing;
  const std::size_t n = 80 + rng() % 200;
  p.config.max_depth = 3 + rng() % 3;
  p.config.n_bins = 2 + rng() % 9;
  p.config.cv_folds = rng() % 7;
  p.config.cv_seed = rng();
  p.config.cv_shuffle = rng() % 3 != 0;
  p.config.min_samples_leaf = 1 + rng() % 4;
  p.config.min_impurity_decrease = rng() % 2 ? -std::numeric_limits<double>::infinity() : 0.0;
  p.config.split_style = style;
  const char* aggregators[] = {"mean", "median", "trimmed_mean"};
  p.aggregator = Aggregator::from_name(aggregators[seed % 3], 0.2, 0.0, 0.0);
  p.columns.push_back(random_continuous(rng, n, 3 + static_cast<int>(rng() % 30)));
  p.columns.push_back(random_categorical(rng, n, 2 + static_cast<int>(rng() % 5)));
  p.columns.push_back(random_continuous(rng, n, 6));
  // Fewer missing values than the shared generator gives, so that splitting
  // the finite values from the missing ones does not win at most roots.
  for (double& v : p.columns[0].values) {
    if (!std::isfinite(v) && rng() % 3 != 0) v = static_cast<double>(rng() % 7) - 3.0;
  }
  const std::uint64_t k = 2 + rng() % 2;
  for (std::size_t i = 0; i < n; ++i) {
    // Targets the features explain in part, so the trees split.
    const double x = p.columns[0].values[i];
    const int signal = std::isfinite(x) ? static_cast<int>(x) : 0;
    p.targets.values.push_back(static_cast<double>(signal * 2 + static_cast<int>(rng() % 7)));
    if (metric_labels(c)) {
      // Every label a class (as a forest requires), class 1 rare and where
      // the signal is high, where the majority rule would not split.
      const bool one = rng() % 10 < (signal > 1 ? 4u : 0u) || rng() % 20 == 0;
      p.targets.labels.push_back(one ? 1 : (rng() % 4 == 0 ? 2 % k : 0));
      continue;
    }
    p.targets.labels.push_back(rng() % 3 == 0 ? rng() % (k + 1) : static_cast<std::uint64_t>(signal > 0) % k);
  }
  if (weighted) {
    // Quarters from 1/4 to 4: every weighted sum of these targets is exact.
    for (std::size_t i = 0; i < n; ++i) p.weights.push_back(static_cast<double>(1 + rng() % 16) / 4.0);
    p.config.min_weight_fraction_leaf = rng() % 2 ? 0.0 : 0.02 * static_cast<double>(rng() % 6);
  }
  switch (c) {
    case Case::Mse: p.task = RegressionTask{Criterion::regression("mse")}; break;
    case Case::Mae: p.task = RegressionTask{Criterion::regression("mae")}; break;
    case Case::Gini: p.task = ClassificationTask{Criterion::classification("gini"), k}; break;
    case Case::Entropy: p.task = ClassificationTask{Criterion::classification("entropy"), k}; break;
    case Case::MacroF1: p.task = ObjectiveTask{Objective::from_name("f1", AverageMode::Macro, 0, 1.0), k}; break;
    case Case::BinaryPrecision:
      p.task = ObjectiveTask{Objective::from_name("precision", AverageMode::Binary, 1, 1.0), k};
      break;
    case Case::MetricBinaryF1:
      p.task = ObjectiveTask{Objective::from_name("f1", AverageMode::Binary, 1, 1.0), k, LabelRule::Metric};
      break;
    case Case::MetricMacroF1:
      p.task = ObjectiveTask{Objective::from_name("f1", AverageMode::Macro, 0, 1.0), k, LabelRule::Metric};
      break;
    case Case::MetricWeightedFBeta:
      p.task = ObjectiveTask{Objective::from_name("fbeta", AverageMode::Weighted, 0, 2.0), k, LabelRule::Metric};
      break;
  }
  return p;
}

class ReferenceGrowerTest : public ::testing::TestWithParam<std::tuple<Case, SplitStyle, bool, MissingSide>> {};

TEST_P(ReferenceGrowerTest, BothGrowersGrowTheReferenceTree) {
  const auto [c, style, weighted, missing] = GetParam();
  int grown = 0;  // seeds whose tree splits: most of them, so the comparison says something
  int learned = 0;  // strict splits that send missing values left
  int fast_learned = 0;  // fast ones
  int credited_elsewhere = 0;  // credits to a feature other than the split's
  for (std::uint64_t seed = 1; seed <= 6; ++seed) {
    const Problem p = random_problem(c, style, seed, weighted, missing);
    GrowInput input{p.task, p.config, p.aggregator, p.targets};
    input.options.weights = p.weights;
    const Tree strict = Reference(p).strict();
    grown += strict.nodes.size() > 1;
    for (const auto& node : strict.nodes) learned += !node.is_leaf() && node.split.missing_left;
    expect_same_tree(grow_strict(input, p.columns), strict);
    {
      // Measured on held-out folds: the same tree, each split with the
      // credits the definition gives it.
      GrowInput measured = input;
      measured.options.held_out = true;
      const Tree credited = Reference(p, true).strict();
      for (const auto& node : credited.nodes) {
        for (const FeatureCredit& credit : credited.credits_of(node)) {
          credited_elsewhere += credit.feature != node.split.feature;
        }
      }
      expect_same_tree(grow_strict(measured, p.columns), credited, kCreditTolerance);
    }
    if (c == Case::Mae) continue;  // fast mode refuses it
    const Tree fast = Reference(p).fast();
    for (const auto& node : fast.nodes) fast_learned += !node.is_leaf() && node.split.missing_left;
    expect_same_tree(fit_fast_columns(input, p.columns), fast);
    GrowInput measured = input;
    measured.options.held_out = true;
    const Tree credited = Reference(p, true).fast();
    for (const auto& node : credited.nodes) {
      for (const FeatureCredit& credit : credited.credits_of(node)) {
        credited_elsewhere += credit.feature != node.split.feature;
      }
    }
    expect_same_tree(fit_fast_columns(measured, p.columns), credited, kCreditTolerance);
  }
  EXPECT_GE(grown, 4);
  EXPECT_GE(credited_elsewhere, 1);  // some fold's choice is not the node's split
  if (missing == MissingSide::Learn) {
    EXPECT_GE(learned, 1);
    if (c != Case::Mae) {
      EXPECT_GE(fast_learned, 1);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(RandomData, ReferenceGrowerTest,
                         ::testing::Combine(::testing::Values(Case::Mse, Case::Mae, Case::Gini, Case::Entropy,
                                                              Case::MacroF1, Case::BinaryPrecision,
                                                              Case::MetricBinaryF1, Case::MetricMacroF1,
                                                              Case::MetricWeightedFBeta),
                                            ::testing::Values(SplitStyle::Threshold, SplitStyle::Bin),
                                            ::testing::Bool(),
                                            ::testing::Values(MissingSide::Right, MissingSide::Learn)));

// Set splits: a categorical feature of 3 to 12 categories a group of which
// raises the target (or the class) carries the signal with column 0, so
// that set splits win at many nodes.
class SetSplitGrowerTest : public ::testing::TestWithParam<std::tuple<Case, bool, MissingSide>> {};

TEST_P(SetSplitGrowerTest, BothGrowersGrowTheReferenceTree) {
  const auto [c, weighted, missing] = GetParam();
  int set_splits = 0;
  int fast_set_splits = 0;
  for (std::uint64_t seed = 1; seed <= 6; ++seed) {
    Problem p = random_problem(c, SplitStyle::Threshold, seed, weighted, missing);
    p.config.categorical_split = CategoricalSplit::Set;
    std::mt19937_64 rng(seed * 7919);
    const std::size_t n = p.targets.values.size();
    FeatureColumn& column = p.columns[1];
    const std::uint32_t n_categories = 3 + static_cast<std::uint32_t>(rng() % 10);
    const std::uint64_t group = rng();  // bit c: category c is in the group
    for (std::size_t i = 0; i < n; ++i) {
      const bool missed = rng() % 12 == 0;
      const auto code = static_cast<std::uint32_t>(rng() % n_categories);
      column.codes[i] = missed ? kMissingCode : code * 7;  // sparse codes, past one word at times
      if (missed || ((group >> code) & 1u) == 0) continue;
      p.targets.values[i] += 6.0;
      if (rng() % 3 != 0) p.targets.labels[i] = 1;
    }
    GrowInput input{p.task, p.config, p.aggregator, p.targets};
    input.options.weights = p.weights;
    // Measured on held-out folds too: the folds' choices route by their sets.
    GrowInput measured = input;
    measured.options.held_out = true;
    const Tree expected = Reference(p, true).strict();
    for (const auto& node : expected.nodes) set_splits += !node.is_leaf() && !node.split.category_set.empty();
    expect_same_tree(grow_strict(measured, p.columns), expected, kCreditTolerance);
    if (c == Case::Mae) continue;  // fast mode refuses it
    const Tree fast = Reference(p, true).fast();
    for (const auto& node : fast.nodes) fast_set_splits += !node.is_leaf() && !node.split.category_set.empty();
    expect_same_tree(fit_fast_columns(measured, p.columns), fast, kCreditTolerance);
  }
  EXPECT_GE(set_splits, 3);
  if (c != Case::Mae) {
    EXPECT_GE(fast_set_splits, 3);
  }
}

INSTANTIATE_TEST_SUITE_P(RandomData, SetSplitGrowerTest,
                         ::testing::Combine(::testing::Values(Case::Mse, Case::Mae, Case::Gini, Case::Entropy,
                                                              Case::MacroF1, Case::MetricBinaryF1),
                                            ::testing::Bool(),
                                            ::testing::Values(MissingSide::Right, MissingSide::Learn)));

}  // namespace
}  // namespace quor
