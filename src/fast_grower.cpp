#include "fast_grower.hpp"

#include <algorithm>
#include <limits>
#include <numeric>
#include <string>

#include "category_order.hpp"
#include "errors.hpp"
#include "fast_search.hpp"
#include "settings.hpp"

namespace quor {

namespace {

/// A node waiting to be grown: its range [begin, end) of the run.
struct FastNode {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::uint64_t depth = 0;
  std::uint64_t key = 0;  // the key of the node's feature draw
};

/// What one thread of a fast-mode fit reuses from node to node.
struct FastWorker {
  NodeValues targets;
  NodeTargets node_targets;
  HistogramScratch scratch;
  std::vector<std::size_t> features;  // the node's drawn features
  std::vector<FeatureSpec> specs;     // theirs, when not every feature is drawn or thresholds are
  HeldOutChoice held_out;             // the node's held-out choices, when measured
  std::vector<HonestScore> honest;    // and their measurement, per distinct choice
  std::vector<std::uint8_t> sides;    // the node's split's side of each sample, when measured
};

/// How fast mode searches, splits and partitions a node (see grow_node).
class FastMode {
 public:
  using Node = FastNode;
  using Worker = FastWorker;

  FastMode(const GrowInput& input, const EncodedFeatures& encoded)
      : input_(input),
        encoded_(encoded),
        n_features_(encoded.n_features),
        code_rows_(code_rows(encoded)),
        run_(input.options.root_samples.empty() ? encoded.sample_count : input.options.root_samples.size()) {
    const bool learn = input.config.missing == MissingSide::Learn;
    for (std::uint64_t f = 0; f < n_features_; ++f) {
      specs_.push_back(feature_spec(encoded, f, input.config.split_style, learn));
      const FeatureBins& bins = encoded.bins[f];
      // Codes stand for the categories of `bins`: a set of them must fit a bitset.
      specs_.back().set_split = !bins.is_continuous && uses_set_splits(input.config, input.task, bins.categories);
    }
    const std::span<const std::uint32_t> given = input.options.root_samples;
    if (given.empty()) {
      std::iota(run_.begin(), run_.end(), std::uint32_t{0});
    } else {
      for (const std::uint32_t s : given) check_index(s, encoded.sample_count, "samples");
      std::copy(given.begin(), given.end(), run_.begin());
    }
  }

  Node root() const { return Node{0, run_.size(), 0, 0}; }
  std::uint64_t n_features() const { return n_features_; }
  std::span<const std::uint32_t> samples(const Node& node) const {
    return std::span<const std::uint32_t>(run_).subspan(node.begin, node.end - node.begin);
  }
  std::uint64_t size(const Node& node) const { return node.end - node.begin; }

  /// The best scored split of the listed features (none when no score is
  /// finite), from the node's histograms: the one the node would choose among
  /// all their scored splits. With threads, a node of at least
  /// parallel_min_samples samples shares them out (whole folds for the
  /// order-dependent regression sums, any share for class counts), so that
  /// each thread reads only its share of the code rows.
  std::vector<ScoredSplit> search(Worker& worker, const Node& node, std::span<const std::size_t> features,
                                  std::uint64_t n_threads) const {
    const TreeConfig& config = input_.config;
    const std::span<const std::uint32_t> run = samples(node);
    NodeTargets& targets = worker.node_targets;
    targets.prepare(input_.task, config, run, worker.targets.values, worker.targets.labels, worker.targets.weights);
    const std::uint64_t threads = run.size() >= config.parallel_min_samples ? n_threads : 1;
    std::span<const FeatureSpec> specs = specs_;
    const std::uint64_t max_thresholds = input_.options.max_thresholds;
    if (features.size() != n_features_ || max_thresholds != 0) {
      worker.specs.clear();
      for (const std::size_t f : features) {
        worker.specs.push_back(specs_[f]);
        worker.specs.back().max_thresholds = max_thresholds;
        worker.specs.back().node_key = node.key;
      }
      specs = worker.specs;
    }
    std::vector<ScoredSplit> scored;
    if (auto best = best_of_block(input_.task, code_rows_, features, specs, targets, input_.aggregator,
                                  worker.scratch, threads,
                                  input_.options.held_out ? &worker.held_out : nullptr)) {
      scored.push_back(std::move(*best));
    }
    return scored;
  }

  /// The split the best scored split stands for, in the feature's encoded
  /// bins or categories.
  std::optional<SplitChoice> split_for(const Node& node, const ScoredSplit& best) const {
    check_index(best.feature, n_features_, "encoded features");
    const FeatureBins& bins = encoded_.bins[best.feature];
    std::optional<SplitChoice> choice;
    if (best.code == kMissingAlone) {
      if (!bins.is_continuous || bins.n_codes == 0) return std::nullopt;
      // Every finite code left of the last one, the missing code right.
      choice = missing_alone_choice(best.feature, best.score);
      choice->test = SideTest::Threshold;
      choice->code = static_cast<std::uint32_t>(bins.n_codes - 1);
      return choice;
    }
    if (!bins.is_continuous && specs_[best.feature].set_split && (choice = set_choice(node, best))) {
      // A set split (set_choice gives none where the node splits by one category).
    } else if (!bins.is_continuous) {
      if (best.code >= bins.categories.size()) return std::nullopt;
      choice = category_choice(best.feature, best.code, bins.categories[best.code], best.score);
    } else {
      if (best.code > bins.edges.size()) return std::nullopt;
      const SideTest test = side_test(input_.config.split_style, false);
      choice = interval_choice(best.feature, test, best.code, bin_bounds(bins.edges, best.code), best.score);
      if (!choice && !best.missing_left && input_.config.missing == MissingSide::Learn) {
        choice = missing_alone_choice(best.feature, best.score);
        choice->test = SideTest::Threshold;
        choice->code = best.code;
        return choice;
      }
    }
    if (choice) choice->split.missing_left = best.missing_left;
    return choice;
  }

  /// The values on either side of `bound` of continuous feature f in the
  /// node, read from its codes: the largest value of the highest code below
  /// the bound and the smallest of the lowest code above it (the edge below
  /// that code). Values the node lacks may lie between them, never a value
  /// of the node. nullopt without the codes' largest values.
  std::optional<std::pair<double, double>> value_gap(const Node& node, std::uint64_t f, double bound) const {
    const FeatureBins& bins = encoded_.bins[f];
    if (bins.largest.empty()) return std::nullopt;
    // Codes below `first_above` hold values below the bound, the others values at or above it.
    const auto first_above =
        static_cast<std::uint32_t>(std::upper_bound(bins.edges.begin(), bins.edges.end(), bound) - bins.edges.begin());
    if (first_above == 0) return std::nullopt;
    std::uint32_t below = 0;
    std::uint32_t above = std::numeric_limits<std::uint32_t>::max();
    bool any_below = false;
    for (const std::uint32_t s : samples(node)) {
      const std::uint32_t code = encoded_.code(s, f);
      if (code == kMissingFastCode) continue;
      if (code < first_above) {
        below = any_below ? std::max(below, code) : code;
        any_below = true;
      } else {
        above = std::min(above, code);
      }
    }
    if (!any_below || above == std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    return std::pair<double, double>{bins.largest[below], bins.edges[above - 1]};
  }

  /// Whether the split sends sample s left, by its test on the codes.
  bool goes_left(const SplitChoice& choice, std::uint64_t s) const {
    const std::uint64_t f = choice.split.feature;
    if (!choice.split.category_set.empty()) {
      // A set split's codes go left by their categories.
      const std::uint32_t code = encoded_.code(s, f);
      const FeatureBins& bins = encoded_.bins[f];
      return code < bins.categories.size() ? in_category_set(choice.split.category_set, bins.categories[code])
                                           : choice.split.missing_left;
    }
    return choice.code_goes_left(encoded_.code(s, f));
  }

  /// Reorders the node's run in place by the split's test on the codes, or
  /// by the sides given in run order (the same swaps: the sample at position
  /// j is still the run's j-th when it is tested).
  std::pair<Node, Node> partition(const Node& node, const SplitChoice& choice, std::span<const std::uint8_t> sides) {
    const EncodedFeatures& encoded = encoded_;
    const std::span<std::uint32_t> run = std::span<std::uint32_t>(run_).subspan(node.begin, node.end - node.begin);
    std::size_t n_left = 0;
    if (!sides.empty()) {
      if (sides.size() != run.size()) throw InternalError("one side per sample is needed");
      for (std::size_t j = 0; j < run.size(); ++j) {
        if (sides[j] != 0) std::swap(run[n_left++], run[j]);
      }
    } else {
      const auto prefetch = [&](std::uint32_t s) { encoded.prefetch_row(s); };
      n_left = partition_in_place(run, [&](std::uint32_t s) { return goes_left(choice, s); }, prefetch);
    }
    return {Node{node.begin, node.begin + n_left, 0, 0}, Node{node.begin + n_left, node.end, 0, 0}};
  }

  /// The node's samples in run order, each with its fold in the last search.
  template <class Visit>
  void for_each_fold_sample(Worker& worker, const Node& node, const Visit& visit) const {
    const std::span<const std::uint32_t> run = samples(node);
    const std::span<const std::uint8_t> folds = worker.node_targets.run_fold_ids();
    constexpr std::size_t kAhead = 32;  // as the partition: rows are read by sample id
    for (std::size_t i = 0; i < run.size(); ++i) {
      if (i + kAhead < run.size()) encoded_.prefetch_row(run[i + kAhead]);
      visit(i, run[i], folds[i]);
    }
  }

  void prepare_children(Node&, Node&, Node&, std::uint64_t) const {}

 private:
  /// The set split of candidate j of order k (code k·P + j, P the codes the
  /// node holds): the categories of ranks 0 … j in order k over the node.
  std::optional<SplitChoice> set_choice(const Node& node, const ScoredSplit& best) const {
    const FeatureBins& bins = encoded_.bins[best.feature];
    const std::span<const std::uint32_t> run = samples(node);
    const bool regression = std::holds_alternative<RegressionTask>(input_.task);
    // The histograms count a sample when it has a code and, classifying, a class.
    const std::uint64_t n_classes = regression ? 0 : quor::n_classes(input_.task);
    const auto counted = [&](std::uint32_t s, std::uint32_t code) {
      return code < bins.n_codes && (regression || input_.targets.labels[s] < n_classes);
    };
    std::vector<std::uint32_t> present_codes;
    std::vector<std::uint8_t> seen(bins.n_codes, 0);
    for (const std::uint32_t s : run) {
      const std::uint32_t code = encoded_.code(s, best.feature);
      if (counted(s, code)) seen[code] = 1;
    }
    for (std::uint32_t b = 0; b < bins.n_codes; ++b) {
      if (seen[b] != 0) present_codes.push_back(b);
    }
    const std::size_t P = present_codes.size();
    if (!enough_rows_for_sets(run.size(), P)) return std::nullopt;
    std::vector<std::uint32_t> index(bins.n_codes, 0);
    for (std::size_t i = 0; i < P; ++i) index[present_codes[i]] = static_cast<std::uint32_t>(i);
    const std::size_t n_orders = n_category_orders(input_.task);
    const std::size_t k = best.code / P;
    const std::size_t j = best.code % P;
    check_index(k, n_orders, "category orders");
    // The order's sums over the node's samples with a category, in run order.
    const std::span<const double> weights = input_.options.weights;
    std::vector<double> weight(P, 0.0), target(P, 0.0), statistic;
    double total_weight = 0.0, total_target = 0.0;
    const std::uint64_t target_class = n_orders == 1 ? 1 : k;
    for (const std::uint32_t s : run) {
      const std::uint32_t code = encoded_.code(s, best.feature);
      if (!counted(s, code)) continue;
      const double w = weights.empty() ? 1.0 : weights[s];
      double t = 0.0;
      if (regression) {
        t = weights.empty() ? input_.targets.values[s] : w * input_.targets.values[s];
      } else if (input_.targets.labels[s] == target_class) {
        t = w;
      }
      weight[index[code]] += w;
      target[index[code]] += t;
      total_weight += w;
      total_target += t;
    }
    std::vector<std::uint32_t> by_rank(P), rank(P);
    rank_categories(weight, target, total_weight, total_target, by_rank, rank, statistic);
    std::vector<std::uint32_t> left(j + 1);
    for (std::size_t r = 0; r <= j; ++r) left[r] = bins.categories[present_codes[by_rank[r]]];
    std::sort(left.begin(), left.end());
    return category_set_choice(best.feature, best.code, left, best.score);
  }

  const GrowInput& input_;
  const EncodedFeatures& encoded_;
  std::uint64_t n_features_;
  std::vector<FeatureSpec> specs_;
  CodeRows code_rows_;
  std::vector<std::uint32_t> run_;  // sample ids; each node owns a range of it
};

static_assert(GrowthMode<FastMode>);

}  // namespace

void check_fast_entry(const Task& task, std::uint64_t n_samples) {
  const auto* regression = std::get_if<RegressionTask>(&task);
  if (regression != nullptr && !fast_mode_supports(regression->criterion.kind())) {
    throw ValueError("this task (e.g. MAE) is not supported in SplitMode::Fast; use Strict");
  }
  check_sample_limit(n_samples);
}

Tree fit_fast(const GrowInput& input, const MatrixView& x, std::span<const std::uint64_t> categorical) {
  check_fast_entry(input.task, x.n_rows);
  const std::uint64_t threads = fit_threads(input.config, x.n_cols);
  const EncodedFeatures encoded = encode_matrix(x, categorical, input.config.n_bins, true, threads);
  return grow_fast(input, encoded);
}

Tree grow_fast(const GrowInput& input, const EncodedFeatures& encoded) {
  if (!input.options.weights.empty() && input.options.weights.size() != encoded.sample_count) {
    throw InternalError("one weight per sample is needed");
  }
  FastMode mode(input, encoded);
  const std::uint64_t threads = fit_threads(input.config, encoded.n_features);
  return grow_tree(input, mode, mode.root(), threads, input.config.parallel_min_samples);
}

}  // namespace quor
