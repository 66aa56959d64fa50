#include "grower.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>

#include "candidate.hpp"
#include "cross_validation.hpp"
#include "errors.hpp"
#include "gather.hpp"
#include "histogram.hpp"
#include "parallel.hpp"

namespace quor {

namespace {

/// A node's targets gathered in node order: the leaf value and the purity test
/// read them.
struct NodeValues {
  std::vector<double> values;
  std::vector<std::uint64_t> labels;
};

template <class Id>
void gather_targets(const GrowInput& input, std::span<const Id> samples, NodeValues& out) {
  if (input.task == TaskKind::Regression) {
    gather_at(input.y, samples, out.values);
  } else {
    gather_at(input.labels, samples, out.labels);
  }
}

/// Writes the node's leaf: the mean of its targets, or its class distribution
/// with the lowest most frequent class.
void write_leaf(TreeBuilder& builder, std::size_t node, const GrowInput& input,
                const NodeValues& targets) {
  if (input.task == TaskKind::Regression) {
    const std::size_t n = targets.values.size();
    double sum = -0.0;
    for (const double t : targets.values) sum += t;
    const double value = n == 0 ? 0.0 : sum / static_cast<double>(n);
    builder.make_regression_leaf(node, value, n);
    return;
  }
  const std::uint64_t n_classes = input.n_classes;
  std::vector<std::uint64_t> counts(n_classes, 0);
  std::uint64_t counted = 0;
  for (const std::uint64_t c : targets.labels) {
    if (c < n_classes) {
      ++counts[c];
      ++counted;
    }
  }
  std::vector<double> proba(n_classes, 0.0);
  if (counted > 0) {
    for (std::size_t c = 0; c < n_classes; ++c) {
      proba[c] = static_cast<double>(counts[c]) / static_cast<double>(counted);
    }
  }
  builder.make_classification_leaf(node, proba, majority_class(counts), targets.labels.size());
}

/// The purity test value of the node: the criterion's impurity, or the Gini
/// index for the objective classifier.
double node_impurity(const GrowInput& input, const NodeValues& targets) {
  switch (input.task) {
    case TaskKind::Regression: return input.criterion->impurity(targets.values);
    case TaskKind::Classification: return input.criterion->impurity(targets.labels);
    case TaskKind::Objective: return input.objective->purity.impurity(targets.labels);
  }
  return 0.0;
}

/// Stopping rules that need no split search. True when the node is a leaf.
bool stops_early(const GrowInput& input, std::uint64_t n, std::uint64_t depth,
                 const NodeValues& targets) {
  const TreeConfig& config = *input.config;
  if (n < std::max<std::uint64_t>(2, config.min_samples_split)) return true;
  if (config.max_depth && *config.max_depth <= depth) return true;
  return node_impurity(input, targets) <= 0.0;
}

/// The node's choice; nullptr when the node must be a leaf.
const ScoredSplit* accepted_split(const GrowInput& input, std::span<const ScoredSplit> records) {
  const ScoredSplit* best = choose_best_split(records);
  if (best == nullptr || best->score <= input.config->min_impurity_decrease) return nullptr;
  return best;
}

std::vector<ScoredSplit> flatten(std::vector<std::vector<ScoredSplit>> per_feature) {
  std::size_t total = 0;
  for (const auto& list : per_feature) total += list.size();
  std::vector<ScoredSplit> out;
  out.reserve(total);
  for (auto& list : per_feature) {
    for (auto& record : list) out.push_back(std::move(record));
  }
  return out;
}

std::uint64_t min_leaf(const TreeConfig& config) {
  return std::max<std::uint64_t>(1, config.min_samples_leaf);
}

/// A split as stored in the tree.
struct SplitSpec {
  NodeKind kind = NodeKind::IntervalSplit;
  std::uint64_t feature = 0;
  std::optional<double> lower;
  std::optional<double> upper;
  std::uint32_t category = 0;
};

void write_split(TreeBuilder& builder, std::size_t node, const SplitSpec& split) {
  if (split.kind == NodeKind::CategorySplit) {
    builder.make_category_split(node, split.feature, split.category);
  } else {
    builder.make_interval_split(node, split.feature, split.lower, split.upper);
  }
}

// ---------------------------------------------------------------------------
// Strict mode

/// Builds the stored split for the winning record from the node's own bins;
/// `sorted` is the node's finite samples of the feature sorted by value.
std::optional<SplitSpec> strict_split(const GrowInput& input, const FeatureColumn& column,
                                      std::uint64_t feature, std::uint32_t code,
                                      std::span<const SortedValue> sorted) {
  SplitSpec split;
  split.feature = feature;
  if (column.is_categorical) {
    if (code == kMissingCategory) return std::nullopt;
    split.kind = NodeKind::CategorySplit;
    split.category = code;
    return split;
  }
  const EdgeRuns edges = EdgeRuns::build(sorted.size(), input.config->n_bins,
                                         [&](std::uint64_t rank) { return sorted[rank].value; });
  if (code > edges.size()) return std::nullopt;
  auto [lower, upper] = edges.bounds(code);
  if (input.config->split_style == SplitStyle::Threshold) {
    if (!upper) return std::nullopt;
    split.upper = upper;
  } else {
    split.lower = lower;
    split.upper = upper;
  }
  return split;
}

/// The split test on a training sample.
bool sample_goes_left(const SplitSpec& split, const FeatureColumn& column, std::uint64_t sample) {
  if (split.kind == NodeKind::CategorySplit) {
    return column.is_categorical && column.codes[sample] == split.category;
  }
  if (column.is_categorical) return false;
  const double x = column.values[sample];
  return std::isfinite(x) && (!split.lower || x >= *split.lower) && (!split.upper || x < *split.upper);
}

/// A node waiting to be grown: its samples in node order and, per continuous
/// feature, its finite samples sorted by value (kept through the splits so no
/// node sorts again).
struct StrictTask {
  std::vector<std::uint64_t> samples;
  std::vector<std::vector<SortedValue>> sorted;
  std::uint64_t depth = 0;
  std::size_t parent = TreeBuilder::npos;
  bool is_left = false;
};

}  // namespace

Tree grow_strict(const GrowInput& input, std::span<const FeatureColumn> columns) {
  const TreeConfig& config = *input.config;
  const std::uint64_t n_features = columns.size();
  const std::uint64_t n_total = columns.empty() ? 0 : columns.front().size();
  TreeBuilder builder;
  NodeValues targets;
  // Per-sample arrays reused by every node: fold lookups and the side of the
  // chosen split.
  SlotTable slots;
  std::vector<double> y_by_slot;
  std::vector<std::uint64_t> labels_by_slot;
  std::vector<std::uint8_t> left_side(n_total);

  std::vector<StrictTask> stack;
  StrictTask root;
  root.samples.resize(n_total);
  std::iota(root.samples.begin(), root.samples.end(), std::uint64_t{0});
  // Per-feature work outside the split search (the presort, the split of the
  // sorted lists) runs on the fit's threads too when it has them; each feature
  // is independent, so the results are those of a plain loop.
  const bool parallel = config.parallel && config.n_threads >= 2;
  // Moving a small node's lists costs less than starting threads for it.
  constexpr std::uint64_t kParallelEntries = std::uint64_t{1} << 18;
  const auto for_each_feature = [&](std::uint64_t entries, auto&& work) {
    if (parallel && entries >= kParallelEntries) {
      parallel_map(n_features, config.n_threads, [&](std::uint64_t f) {
        work(f);
        return 0;
      });
    } else {
      for (std::uint64_t f = 0; f < n_features; ++f) work(f);
    }
  };
  root.sorted.resize(n_features);
  for_each_feature(n_total * n_features, [&](std::uint64_t f) {
    if (!columns[f].is_categorical) root.sorted[f] = sort_finite_samples(columns[f].values, root.samples);
  });
  stack.push_back(std::move(root));

  // Depth-first, left subtree first: the right child waits on the stack while
  // the whole left subtree is grown, exactly as recursion would order it.
  while (!stack.empty()) {
    StrictTask task = std::move(stack.back());
    stack.pop_back();
    const std::size_t node = builder.begin_node(task.parent, task.is_left);
    const std::span<const std::uint64_t> samples = task.samples;
    gather_targets(input, samples, targets);
    if (stops_early(input, samples.size(), task.depth, targets)) {
      write_leaf(builder, node, input, targets);
      continue;
    }
    const std::vector<CvFold> folds =
        make_folds(samples, config.cv_folds, config.cv_seed, config.cv_shuffle, false);
    slots.fill(folds, n_total);
    if (input.task == TaskKind::Regression) {
      gather_by_slot(std::span<const CvFold>(folds), input.y, y_by_slot);
    } else if (input.task == TaskKind::Classification) {
      gather_by_slot(std::span<const CvFold>(folds), input.labels, labels_by_slot);
    }
    SplitContext context;
    context.config = &config;
    context.features = columns;
    context.criterion = input.criterion;
    context.objective = input.task == TaskKind::Objective ? input.objective : nullptr;
    context.y = input.y;
    context.labels = input.labels;
    context.samples = samples;
    context.folds = folds;
    context.aggregator = input.aggregator;
    context.slots = &slots;
    context.y_by_slot = y_by_slot;
    context.labels_by_slot = labels_by_slot;
    context.sorted = task.sorted;
    const auto evaluate = [&](std::uint64_t feature) { return evaluate_feature(context, feature); };
    std::vector<ScoredSplit> records;
    if (parallel) {
      records = flatten(parallel_map(n_features, config.n_threads, evaluate));
    } else {
      for (std::uint64_t f = 0; f < n_features; ++f) {
        for (auto& record : evaluate(f)) records.push_back(std::move(record));
      }
    }
    const ScoredSplit* best = accepted_split(input, records);
    std::optional<SplitSpec> split;
    if (best != nullptr) {
      check_index(best->feature, n_features, "features");
      split = strict_split(input, columns[best->feature], best->feature, best->code,
                           task.sorted[best->feature]);
    }
    if (!split) {
      write_leaf(builder, node, input, targets);
      continue;
    }
    const FeatureColumn& column = columns[split->feature];
    StrictTask left, right;
    for (const std::uint64_t s : samples) {
      const bool goes_left = sample_goes_left(*split, column, s);
      left_side[s] = goes_left;
      (goes_left ? left.samples : right.samples).push_back(s);
    }
    if (left.samples.size() < min_leaf(config) || right.samples.size() < min_leaf(config)) {
      write_leaf(builder, node, input, targets);
      continue;
    }
    write_split(builder, node, *split);
    left.sorted.resize(n_features);
    right.sorted.resize(n_features);
    for_each_feature(samples.size() * n_features, [&](std::uint64_t f) {
      std::vector<SortedValue>& to_left = left.sorted[f];
      std::vector<SortedValue>& to_right = right.sorted[f];
      to_left.reserve(task.sorted[f].size());
      for (const SortedValue& e : task.sorted[f]) (left_side[e.sample] ? to_left : to_right).push_back(e);
      to_left.shrink_to_fit();
      std::vector<SortedValue>().swap(task.sorted[f]);
    });
    left.depth = right.depth = task.depth + 1;
    left.parent = right.parent = node;
    left.is_left = true;
    stack.push_back(std::move(right));
    stack.push_back(std::move(left));
  }
  return std::move(builder).finish();
}

// ---------------------------------------------------------------------------
// Fast mode

namespace {

/// The stored split and the partition test on codes for the winning record.
struct FastSplit {
  SplitSpec spec;
  std::uint16_t code = 0;
  bool threshold = false;  // left when code <= c; otherwise left when code == c
};

std::optional<FastSplit> fast_split(const GrowInput& input, const FeatureBins& bins,
                                    std::uint64_t feature, std::uint32_t code) {
  FastSplit split;
  split.spec.feature = feature;
  if (bins.is_continuous) {
    if (code > bins.edges.size()) return std::nullopt;
    auto [lower, upper] = bin_bounds(bins.edges, code);
    split.code = static_cast<std::uint16_t>(code);
    if (input.config->split_style == SplitStyle::Threshold) {
      if (!upper) return std::nullopt;
      split.spec.upper = upper;
      split.threshold = true;
    } else {
      split.spec.lower = lower;
      split.spec.upper = upper;
    }
    return split;
  }
  if (code >= bins.categories.size()) return std::nullopt;
  split.spec.kind = NodeKind::CategorySplit;
  split.spec.category = bins.categories[code];
  split.code = static_cast<std::uint16_t>(code);
  return split;
}

struct FastTask {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::uint64_t depth = 0;
  std::size_t parent = TreeBuilder::npos;
  bool is_left = false;
};

HistogramTask histogram_task(const GrowInput& input) {
  switch (input.task) {
    case TaskKind::Regression: return HistogramTask::Regression;
    case TaskKind::Classification:
      return input.criterion->kind() == CriterionKind::Entropy ? HistogramTask::Entropy : HistogramTask::Gini;
    case TaskKind::Objective: return HistogramTask::Objective;
  }
  return HistogramTask::Regression;
}

}  // namespace

namespace {

/// The refusals of the fast-mode entry, before anything is encoded; returns
/// the thread count for the encoding.
std::uint64_t check_fast_entry(const GrowInput& input, std::uint64_t n_samples) {
  if (input.task == TaskKind::Regression && input.criterion->name() == "mae") {
    throw ValueError("this task (e.g. MAE) is not supported in SplitMode::Fast; use Strict");
  }
  check_fast_sample_count(n_samples);
  const TreeConfig& config = *input.config;
  return config.parallel && config.n_threads >= 2 ? config.n_threads : 1;
}

}  // namespace

void check_fast_sample_count(std::uint64_t n_samples) {
  if (n_samples > std::numeric_limits<std::uint32_t>::max()) {
    throw ValueError("fast mode supports at most 4294967295 samples, got " + std::to_string(n_samples) +
                     "; use mode \"strict\"");
  }
}

Tree fit_fast(const GrowInput& input, std::span<const FeatureColumn> columns) {
  const std::uint64_t threads = check_fast_entry(input, columns.empty() ? 0 : columns.front().size());
  const EncodedFeatures encoded = encode_features(columns, input.config->n_bins, true, threads);
  return grow_fast(input, encoded);
}

Tree fit_fast(const GrowInput& input, const MatrixView& x, std::span<const std::uint64_t> categorical) {
  const std::uint64_t threads = check_fast_entry(input, x.n_rows);
  const EncodedFeatures encoded = encode_matrix(x, categorical, input.config->n_bins, true, threads);
  return grow_fast(input, encoded);
}

Tree grow_fast(const GrowInput& input, const EncodedFeatures& encoded) {
  const TreeConfig& config = *input.config;
  const std::uint64_t n_features = encoded.n_features;
  const std::uint64_t n_classes =
      input.task == TaskKind::Objective ? input.objective->n_classes : input.n_classes;
  const HistogramTask histogram = histogram_task(input);
  std::vector<std::size_t> columns(n_features);
  std::iota(columns.begin(), columns.end(), std::size_t{0});
  std::vector<FeatureSpec> specs(n_features);
  for (std::uint64_t f = 0; f < n_features; ++f) {
    const FeatureBins& bins = encoded.bins[f];
    specs[f] = FeatureSpec{f, bins.n_codes, config.split_style == SplitStyle::Threshold && bins.is_continuous,
                           bins.has_missing};
  }
  const CodeRows code_rows{encoded.narrow ? encoded.narrow_codes.data() : nullptr,
                           encoded.narrow ? nullptr : encoded.codes.data(), n_features};
  std::vector<std::uint32_t> run(encoded.sample_count);
  std::iota(run.begin(), run.end(), std::uint32_t{0});
  TreeBuilder builder;
  NodeValues targets;
  HistogramScratch scratch;

  // Per-node working data, kept across nodes so that its buffers are reused.
  std::vector<std::uint32_t> positions;       // shuffled positions in the node's run
  std::vector<std::uint8_t> fold_ids;          // fold of each shuffled position
  std::vector<std::uint32_t> shuffled;         // the node's samples in shuffled order
  std::vector<std::uint8_t> run_folds;         // fold of each position of the run
  NodeTargets node_targets;
  std::vector<FastTask> stack;
  stack.push_back(FastTask{0, run.size(), 0, TreeBuilder::npos, false});
  while (!stack.empty()) {
    const FastTask task = stack.back();
    stack.pop_back();
    const std::size_t node = builder.begin_node(task.parent, task.is_left);
    const std::span<std::uint32_t> samples(run.data() + task.begin, task.end - task.begin);
    const std::uint64_t n = samples.size();
    gather_targets(input, std::span<const std::uint32_t>(samples), targets);
    if (stops_early(input, n, task.depth, targets)) {
      write_leaf(builder, node, input, targets);
      continue;
    }
    // The node's folds, as assign_folds draws them from the run's order.
    const std::uint64_t n_folds =
        fold_order(n, config.cv_folds, config.cv_seed, config.cv_shuffle, positions, fold_ids);
    if (n_folds == 0) {
      write_leaf(builder, node, input, targets);
      continue;
    }
    node_targets.n_folds = n_folds;
    if (input.task == TaskKind::Regression) {
      // Sums follow the shuffled order: list the samples that way.
      shuffled.resize(n);
      for (std::size_t p = 0; p < n; ++p) shuffled[p] = samples[positions[p]];
      node_targets.samples = shuffled;
      node_targets.fold_ids = fold_ids;
      node_targets.gather_values(std::span<const double>(targets.values), std::span<const std::uint32_t>(positions));
    } else {
      // Counts take any order: keep the run's, with each position's fold.
      run_folds.resize(n);
      for (std::size_t p = 0; p < n; ++p) run_folds[positions[p]] = fold_ids[p];
      node_targets.samples = samples;
      node_targets.fold_ids = run_folds;
      node_targets.labels = targets.labels;
      node_targets.n_classes = n_classes;
    }
    const auto search = [&](std::size_t first, std::size_t last, HistogramScratch& own, std::uint64_t threads) {
      std::vector<std::vector<ScoredSplit>> per_feature;
      score_feature_block(histogram, input.objective, code_rows,
                          std::span<const std::size_t>(columns).subspan(first, last - first),
                          std::span<const FeatureSpec>(specs).subspan(first, last - first), node_targets,
                          *input.aggregator, own, per_feature, threads);
      return per_feature;
    };
    std::vector<ScoredSplit> records;
    // With threads a large node's samples are shared out (whole folds for the
    // order-dependent regression sums, any share for class counts), so that
    // each thread reads only its share of the code rows.
    const bool parallel = config.parallel && config.n_threads >= 2 && n >= config.parallel_min_samples;
    for (auto& list : search(0, n_features, scratch, parallel ? config.n_threads : 1)) {
      for (auto& record : list) records.push_back(std::move(record));
    }
    const ScoredSplit* best = accepted_split(input, records);
    std::optional<FastSplit> split;
    if (best != nullptr) {
      check_index(best->feature, n_features, "encoded features");
      split = fast_split(input, encoded.bins[best->feature], best->feature, best->code);
    }
    if (!split) {
      write_leaf(builder, node, input, targets);
      continue;
    }
    const std::uint64_t f = split->spec.feature;
    const auto prefetch = [&](std::uint32_t s) { encoded.prefetch_row(s); };
    const std::size_t i =
        split->threshold
            ? partition_in_place(samples, [&](std::uint32_t s) { return encoded.code(s, f) <= split->code; }, prefetch)
            : partition_in_place(samples, [&](std::uint32_t s) { return encoded.code(s, f) == split->code; }, prefetch);
    if (i < min_leaf(config) || n - i < min_leaf(config)) {
      write_leaf(builder, node, input, targets);
      continue;
    }
    write_split(builder, node, split->spec);
    stack.push_back(FastTask{task.begin + i, task.end, task.depth + 1, node, false});
    stack.push_back(FastTask{task.begin, task.begin + i, task.depth + 1, node, true});
  }
  return std::move(builder).finish();
}

}  // namespace quor
