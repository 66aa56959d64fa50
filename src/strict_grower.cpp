#include "strict_grower.hpp"

#include <algorithm>
#include <iterator>
#include <numeric>

#include "candidate.hpp"
#include "category_order.hpp"
#include "errors.hpp"
#include "held_out.hpp"
#include "strict_search.hpp"

namespace quor {

namespace {

/// A node waiting to be grown: its samples in node order and, per continuous
/// feature, its finite samples sorted by value (kept through the splits so no
/// node sorts again).
struct StrictNode {
  std::vector<std::uint64_t> samples;
  std::vector<std::vector<SortedValue>> sorted;
  std::uint64_t depth = 0;
  std::uint64_t key = 0;  // the key of the node's feature draw
};

/// What one thread of a strict-mode fit reuses from node to node.
struct StrictWorker {
  NodeValues targets;
  EvaluationScratch scratch;  // for nodes evaluated one feature at a time
  StrictNodeData node;
  std::vector<std::size_t> features;  // the node's drawn features
  HeldOutChoice held_out;             // the node's held-out choices, when measured
  std::vector<HonestScore> honest;    // and their measurement, per distinct choice
  std::vector<std::uint8_t> sides;    // the node's split's side of each sample, when measured
};

/// How strict mode searches, splits and partitions a node (see grow_node).
class StrictMode {
 public:
  using Node = StrictNode;
  using Worker = StrictWorker;

  StrictMode(const GrowInput& input, std::span<const FeatureColumn> columns)
      : input_(input),
        columns_(columns),
        n_features_(columns.size()),
        n_total_(columns.empty() ? 0 : columns.front().size()),
        left_side_(n_total_) {}

  /// The root: the options' root samples (every sample unless they are
  /// given), each continuous feature's finite values sorted.
  Node root(std::uint64_t n_threads) const {
    Node root;
    const std::span<const std::uint32_t> given = input_.options.root_samples;
    if (given.empty()) {
      root.samples.resize(n_total_);
      std::iota(root.samples.begin(), root.samples.end(), std::uint64_t{0});
    } else {
      // Sample ids index the slot and side tables: each may occur once.
      root.samples.assign(given.begin(), given.end());
      for (std::size_t i = 0; i < root.samples.size(); ++i) {
        check_index(root.samples[i], n_total_, "samples");
        if (i > 0 && root.samples[i] <= root.samples[i - 1]) {
          throw InternalError("strict-mode root samples must be ascending and distinct");
        }
      }
    }
    root.sorted.resize(n_features_);
    for_each_feature(root.samples.size() * n_features_, n_threads, [&](std::uint64_t f) {
      check_interrupt(input_.options.interrupt);
      if (!columns_[f].is_categorical) root.sorted[f] = sort_finite_samples(columns_[f].values, root.samples);
    });
    return root;
  }

  std::uint64_t n_features() const { return n_features_; }

  std::span<const std::uint64_t> samples(const Node& node) const { return node.samples; }
  std::uint64_t size(const Node& node) const { return node.samples.size(); }

  /// The scored splits of the listed features, on the node's threads when it
  /// has them. A feature of a large node can take a while: each is a point at
  /// which growth can be interrupted.
  std::vector<ScoredSplit> search(Worker& worker, const Node& node, std::span<const std::size_t> features,
                                  std::uint64_t n_threads) const {
    prepare_node(input_.task, input_.config, input_.targets, node.samples, n_total_, worker.node,
                 input_.options.weights);
    const bool measure = input_.options.held_out;
    const SplitContext context{input_.task,   input_.config, input_.aggregator, columns_,
                               input_.targets, node.samples,  node.sorted,       worker.node,
                               input_.options.weights, measure};
    Interrupt* interrupt = input_.options.interrupt;
    std::vector<ScoredSplit> scored;
    if (n_threads >= 2) {
      scored = pool_scored_splits(parallel_map(features.size(), n_threads, [&](std::uint64_t i) {
        check_interrupt(interrupt);
        EvaluationScratch scratch;
        return evaluate_feature(context, features[i], scratch);
      }));
    } else {
      for (const std::size_t f : features) {
        check_interrupt(interrupt);
        for (auto& one : evaluate_feature(context, f, worker.scratch)) scored.push_back(std::move(one));
      }
    }
    if (measure) {
      worker.held_out.reset(worker.node.folds.count(), input_.aggregator);
      for (const ScoredSplit& one : scored) {
        worker.held_out.add(one.feature, one.code, one.missing_left, one.stats.scores, one.folds);
      }
    }
    return scored;
  }

  /// The split the best scored split stands for, in the node's own bins
  /// (continuous) or category codes.
  std::optional<SplitChoice> split_for(const Node& node, const ScoredSplit& best) const {
    check_index(best.feature, n_features_, "features");
    std::optional<SplitChoice> choice;
    if (columns_[best.feature].is_categorical) {
      if (best.code == kMissingAlone) return std::nullopt;
      const std::vector<std::uint32_t> categories = category_candidates(columns_[best.feature].codes, node.samples);
      if (uses_set_splits(input_.config, input_.task, categories) &&
          enough_rows_for_sets(node.samples.size(), categories.size())) {
        choice = set_choice(node, best, categories);
      } else {
        choice = category_choice(best.feature, best.code, best.code, best.score);
      }
    } else if (best.code == kMissingAlone) {
      return missing_alone_choice(best.feature, best.score);
    } else {
      const std::vector<SortedValue>& sorted = node.sorted[best.feature];
      const EdgeRuns edges = EdgeRuns::build(sorted.size(), input_.config.n_bins,
                                             [&](std::uint64_t rank) { return sorted[rank].value; });
      if (best.code > edges.size()) return std::nullopt;
      const SideTest test = side_test(input_.config.split_style, false);
      choice = interval_choice(best.feature, test, best.code, edges.bounds(best.code), best.score);
      // The node's last bin under the threshold test holds every finite value:
      // with missing values right it is the split of missing values alone.
      if (!choice && !best.missing_left && input_.config.missing == MissingSide::Learn) {
        return missing_alone_choice(best.feature, best.score);
      }
    }
    if (choice) choice->split.missing_left = best.missing_left;
    return choice;
  }

  /// The node's finite values of continuous feature f on either side of
  /// `bound`, from its sorted values; nullopt when one side has none.
  std::optional<std::pair<double, double>> value_gap(const Node& node, std::uint64_t f, double bound) const {
    if (f >= node.sorted.size()) return std::nullopt;
    const std::vector<SortedValue>& sorted = node.sorted[f];
    const auto first_above = std::lower_bound(sorted.begin(), sorted.end(), bound,
                                              [](const SortedValue& e, double b) { return e.value < b; });
    if (first_above == sorted.begin() || first_above == sorted.end()) return std::nullopt;
    return std::pair<double, double>{std::prev(first_above)->value, first_above->value};
  }

  bool goes_left(const SplitChoice& choice, std::uint64_t s) const {
    return choice.split.goes_left(columns_[choice.split.feature], s);
  }

  /// The node's samples in node order, each with the fold its last search
  /// drew for it (the fold whose slots hold the sample's).
  template <class Visit>
  void for_each_fold_sample(Worker& worker, const Node& node, const Visit& visit) const {
    const StrictNodeData& data = worker.node;
    const std::span<const std::uint64_t> starts = data.folds.starts;
    for (std::size_t i = 0; i < node.samples.size(); ++i) {
      const std::uint64_t s = node.samples[i];
      const std::uint64_t slot = data.slots[s];
      const auto fold = static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end(), slot) - starts.begin()) - 1;
      visit(i, s, fold);
    }
  }

  /// The children's samples, each in the node's order, by the split's test
  /// on the raw values; each sample's side is kept for prepare_children.
  std::pair<Node, Node> partition(const Node& node, const SplitChoice& choice, std::span<const std::uint8_t> sides) {
    const FeatureColumn& column = columns_[choice.split.feature];
    std::pair<Node, Node> children;
    if (!sides.empty() && sides.size() != node.samples.size()) throw InternalError("one side per sample is needed");
    // Concurrent nodes hold disjoint samples, so they share the side table.
    for (std::size_t i = 0; i < node.samples.size(); ++i) {
      const std::uint64_t s = node.samples[i];
      const bool goes_left = sides.empty() ? choice.split.goes_left(column, s) : sides[i] != 0;
      left_side_[s] = goes_left;
      (goes_left ? children.first : children.second).samples.push_back(s);
    }
    return children;
  }

  /// Splits the node's sorted lists between the children, unless neither
  /// child will search (too deep or too small to split): those never read them.
  void prepare_children(Node& node, Node& left, Node& right, std::uint64_t n_threads) {
    const TreeConfig& config = input_.config;
    const auto searched = [&](const Node& child) {
      return child.samples.size() >= std::max<std::uint64_t>(2, config.min_samples_split) &&
             !(config.max_depth && *config.max_depth <= child.depth);
    };
    if (!searched(left) && !searched(right)) return;
    left.sorted.resize(n_features_);
    right.sorted.resize(n_features_);
    for_each_feature(node.samples.size() * n_features_, n_threads, [&](std::uint64_t f) {
      // Counted first, so that each side is allocated once at its size.
      const std::vector<SortedValue>& from = node.sorted[f];
      std::size_t n_left = 0;
      for (const SortedValue& e : from) n_left += left_side_[e.sample];
      std::vector<SortedValue>& to_left = left.sorted[f];
      std::vector<SortedValue>& to_right = right.sorted[f];
      // Every entry is written to both sides and kept on one (a branch on the
      // side would miss about half the time); the last slot takes the spare.
      to_left.resize(n_left + 1);
      to_right.resize(from.size() - n_left + 1);
      SortedValue* l = to_left.data();
      SortedValue* r = to_right.data();
      for (const SortedValue& e : from) {
        const std::size_t side = left_side_[e.sample];
        *l = e;
        *r = e;
        l += side;
        r += 1 - side;
      }
      to_left.pop_back();
      to_right.pop_back();
      std::vector<SortedValue>().swap(node.sorted[f]);
    });
  }

 private:
  /// The set split of candidate j of order k (code k·K + j): the categories
  /// of ranks 0 … j in order k over the whole node.
  SplitChoice set_choice(const Node& node, const ScoredSplit& best, std::span<const std::uint32_t> categories) const {
    const FeatureColumn& column = columns_[best.feature];
    CategoryRanker ranker(input_.task, input_.targets, input_.options.weights, column.codes, categories);
    std::vector<std::uint32_t> rank, by_rank;
    ranker.rank(node.samples, [](std::uint64_t) { return true; }, rank, by_rank);
    const std::size_t K = categories.size();
    const std::size_t order = best.code / K;
    const std::size_t j = best.code % K;
    check_index(order, ranker.n_orders(), "category orders");
    std::vector<std::uint32_t> left(j + 1);
    for (std::size_t r = 0; r <= j; ++r) left[r] = categories[by_rank[order * K + r]];
    return category_set_choice(best.feature, best.code, left, best.score);
  }

  /// Per-feature work outside the split search (the presort, the split of the
  /// sorted lists): on the node's threads when it has them and the node is
  /// large (moving a small node's lists costs less than starting threads).
  /// Each feature is independent, so the results are those of a plain loop.
  template <class Work>
  void for_each_feature(std::uint64_t entries, std::uint64_t n_threads, const Work& work) const {
    constexpr std::uint64_t kParallelEntries = std::uint64_t{1} << 18;
    if (n_threads >= 2 && entries >= kParallelEntries) {
      parallel_map(n_features_, n_threads, [&](std::uint64_t f) {
        work(f);
        return 0;
      });
    } else {
      for (std::uint64_t f = 0; f < n_features_; ++f) work(f);
    }
  }

  const GrowInput& input_;
  std::span<const FeatureColumn> columns_;
  std::uint64_t n_features_;
  std::uint64_t n_total_;
  std::vector<std::uint8_t> left_side_;  // side of the chosen split, per sample
};

static_assert(GrowthMode<StrictMode>);

}  // namespace

Tree grow_strict(const GrowInput& input, std::span<const FeatureColumn> columns) {
  if (!input.options.weights.empty() && !columns.empty() && input.options.weights.size() != columns.front().size()) {
    throw InternalError("one weight per sample is needed");
  }
  StrictMode mode(input, columns);
  const std::uint64_t threads = fit_threads(input.config, columns.size());
  return grow_tree(input, mode, mode.root(threads), threads, 0);
}

}  // namespace quor
