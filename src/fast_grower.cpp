#include "fast_grower.hpp"

#include <limits>
#include <numeric>
#include <string>

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
  std::vector<FeatureSpec> specs;     // theirs, when not every feature is drawn
  HeldOutChoice held_out;             // the node's held-out choices, when measured
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
    if (features.size() != n_features_) {
      worker.specs.clear();
      for (const std::size_t f : features) worker.specs.push_back(specs_[f]);
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
  std::optional<SplitChoice> split_for(const Node&, const ScoredSplit& best) const {
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
    if (!bins.is_continuous) {
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

  /// Reorders the node's run in place by the split's test on the codes.
  std::pair<Node, Node> partition(const Node& node, const SplitChoice& choice) {
    const std::uint64_t f = choice.split.feature;
    const EncodedFeatures& encoded = encoded_;
    const std::size_t n_left = partition_in_place(
        std::span<std::uint32_t>(run_).subspan(node.begin, node.end - node.begin),
        [&](std::uint32_t s) { return choice.code_goes_left(encoded.code(s, f)); },
        [&](std::uint32_t s) { encoded.prefetch_row(s); });
    return {Node{node.begin, node.begin + n_left, 0, 0}, Node{node.begin + n_left, node.end, 0, 0}};
  }

  void prepare_children(Node&, Node&, Node&, std::uint64_t) const {}

 private:
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
