#include "grower.hpp"

#include <algorithm>
#include <cmath>
#include <deque>
#include <limits>
#include <mutex>
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

/// Writes the split at `node` with the score it won with.
void write_split(TreeBuilder& builder, std::size_t node, const SplitSpec& split, double score) {
  if (split.kind == NodeKind::CategorySplit) {
    builder.make_category_split(node, split.feature, split.category, score);
  } else {
    builder.make_interval_split(node, split.feature, split.lower, split.upper, score);
  }
}

// ---------------------------------------------------------------------------
// Growth order and threads

/// Grows a tree from `root` depth-first, left subtree first, from an explicit
/// stack: the right child waits while the whole left subtree is grown, exactly
/// as recursion would order it. step(task, builder, node) grows one node: it
/// writes a leaf or a split at `node` and returns the children's tasks when it
/// split.
template <class Task, class Step>
Tree grow_depth_first(Task root, const Step& step) {
  struct Item {
    Task task;
    std::size_t parent;
    bool is_left;
  };
  TreeBuilder builder;
  std::vector<Item> stack;
  stack.push_back(Item{std::move(root), TreeBuilder::npos, false});
  while (!stack.empty()) {
    Item item = std::move(stack.back());
    stack.pop_back();
    const std::size_t node = builder.begin_node(item.parent, item.is_left);
    auto children = step(item.task, builder, node);
    if (!children) continue;
    stack.push_back(Item{std::move(children->second), node, false});
    stack.push_back(Item{std::move(children->first), node, true});
  }
  return std::move(builder).finish();
}

/// A piece of the tree grown on its own: a whole subtree, or one split node
/// whose subtrees are the pieces `left` and `right`.
struct TreePiece {
  Tree tree;
  TreePiece* left = nullptr;
  TreePiece* right = nullptr;
};

/// Grows the tree on `n_threads` threads. A node's subtree depends only on the
/// node's samples (its folds are drawn from them), so subtrees are grown apart
/// and put together in pre-order at the end: the tree is the one
/// grow_depth_first makes. Nodes are tasks of a pool, largest first: a node of
/// at least `grain` samples is grown alone and its children go back to the
/// pool, a smaller one with its whole subtree on one thread. A node taken
/// while other threads have nothing to do (the root, a node much larger than
/// the rest) uses them inside the node:
/// step(worker, task, builder, node, n_threads) with n_threads above 1.
template <class Task, class Size, class Step>
Tree grow_on_threads(Task root, std::uint64_t n_threads, std::uint64_t grain, const Size& size_of,
                     const Step& step) {
  struct Job {
    Task task;
    TreePiece* piece;
  };
  std::deque<TreePiece> pieces;  // references stay valid as pieces are added
  std::mutex pieces_mutex;
  std::vector<Job> first;
  first.push_back(Job{std::move(root), &pieces.emplace_back()});
  run_task_pool(
      std::move(first), n_threads, [&](const Job& job) { return size_of(job.task); },
      [&](std::size_t worker, Job job, const auto& push, std::size_t idle) {
        if (size_of(job.task) < grain) {
          job.piece->tree = grow_depth_first(std::move(job.task), [&](auto& task, TreeBuilder& builder,
                                                                     std::size_t node) {
            return step(worker, task, builder, node, 1);
          });
          return;
        }
        TreeBuilder builder;
        const std::size_t node = builder.begin_node(TreeBuilder::npos, false);
        auto children = step(worker, job.task, builder, node, 1 + idle);
        job.piece->tree = std::move(builder).finish();
        if (!children) return;
        {
          std::lock_guard<std::mutex> lock(pieces_mutex);
          job.piece->left = &pieces.emplace_back();
          job.piece->right = &pieces.emplace_back();
        }
        push(Job{std::move(children->second), job.piece->right});
        push(Job{std::move(children->first), job.piece->left});
      });

  TreeBuilder builder;
  struct Item {
    const TreePiece* piece;
    std::size_t parent;
    bool is_left;
  };
  std::vector<Item> stack{Item{&pieces.front(), TreeBuilder::npos, false}};
  while (!stack.empty()) {
    const Item item = stack.back();
    stack.pop_back();
    const std::size_t root_index = builder.append_tree(item.piece->tree, item.parent, item.is_left);
    if (item.piece->left == nullptr) continue;
    stack.push_back(Item{item.piece->right, root_index, false});
    stack.push_back(Item{item.piece->left, root_index, true});
  }
  return std::move(builder).finish();
}

/// The smallest node the pool grows alone rather than with its subtree: small
/// enough that the last subtrees to finish are short, large enough that most
/// nodes never touch the pool.
std::uint64_t pool_grain(std::uint64_t n_root, std::uint64_t n_threads) {
  return std::max<std::uint64_t>(1024, n_root / (8 * n_threads));
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
    if (code == kMissingCode) return std::nullopt;
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
};

/// What one thread of a strict-mode fit reuses from node to node.
struct StrictWorker {
  NodeValues targets;
  EvaluationScratch scratch;  // for nodes evaluated one feature at a time
  SlotTable slots;
  std::vector<double> y_by_slot;
  std::vector<std::uint64_t> labels_by_slot;
};

class StrictGrower {
 public:
  StrictGrower(const GrowInput& input, std::span<const FeatureColumn> columns)
      : input_(input),
        config_(*input.config),
        columns_(columns),
        n_features_(columns.size()),
        n_total_(columns.empty() ? 0 : columns.front().size()),
        left_side_(n_total_) {}

  /// The root task: every sample, each feature's finite values sorted.
  StrictTask root(std::uint64_t n_threads) const {
    StrictTask root;
    root.samples.resize(n_total_);
    std::iota(root.samples.begin(), root.samples.end(), std::uint64_t{0});
    root.sorted.resize(n_features_);
    for_each_feature(n_total_ * n_features_, n_threads, [&](std::uint64_t f) {
      if (!columns_[f].is_categorical) root.sorted[f] = sort_finite_samples(columns_[f].values, root.samples);
    });
    return root;
  }

  /// Grows one node with `n_threads` threads inside it.
  std::optional<std::pair<StrictTask, StrictTask>> step(StrictWorker& worker, StrictTask& task,
                                                        TreeBuilder& builder, std::size_t node,
                                                        std::uint64_t n_threads) {
    const GrowInput& input = input_;
    const TreeConfig& config = config_;
    const std::span<const std::uint64_t> samples = task.samples;
    NodeValues& targets = worker.targets;
    gather_targets(input, samples, targets);
    if (stops_early(input, samples.size(), task.depth, targets)) {
      write_leaf(builder, node, input, targets);
      return std::nullopt;
    }
    const StrictFolds folds = make_folds(samples, config.cv_folds, config.cv_seed, config.cv_shuffle);
    worker.slots.fill(folds, n_total_);
    // The folds' samples in slot order: their targets are read that way.
    const std::span<const std::uint64_t> by_slot = folds.samples;
    if (input.task == TaskKind::Regression) {
      gather_at(input.y, by_slot, worker.y_by_slot);
    } else if (input.task == TaskKind::Classification) {
      gather_at(input.labels, by_slot, worker.labels_by_slot);
    }
    SplitContext context;
    context.config = &config;
    context.features = columns_;
    context.criterion = input.criterion;
    context.objective = input.task == TaskKind::Objective ? input.objective : nullptr;
    context.y = input.y;
    context.labels = input.labels;
    context.samples = samples;
    context.folds = &folds;
    context.aggregator = input.aggregator;
    context.slots = &worker.slots;
    context.y_by_slot = worker.y_by_slot;
    context.labels_by_slot = worker.labels_by_slot;
    context.sorted = task.sorted;
    context.scratch = n_threads >= 2 ? nullptr : &worker.scratch;
    const auto evaluate = [&](std::uint64_t feature) { return evaluate_feature(context, feature); };
    std::vector<ScoredSplit> records;
    if (n_threads >= 2) {
      records = flatten(parallel_map(n_features_, n_threads, evaluate));
    } else {
      for (std::uint64_t f = 0; f < n_features_; ++f) {
        for (auto& record : evaluate(f)) records.push_back(std::move(record));
      }
    }
    const ScoredSplit* best = accepted_split(input, records);
    std::optional<SplitSpec> split;
    if (best != nullptr) {
      check_index(best->feature, n_features_, "features");
      split = strict_split(input, columns_[best->feature], best->feature, best->code,
                           task.sorted[best->feature]);
    }
    if (!split) {
      write_leaf(builder, node, input, targets);
      return std::nullopt;
    }
    const FeatureColumn& column = columns_[split->feature];
    StrictTask left, right;
    // Concurrent nodes hold disjoint samples, so they share the side table.
    for (const std::uint64_t s : samples) {
      const bool goes_left = sample_goes_left(*split, column, s);
      left_side_[s] = goes_left;
      (goes_left ? left.samples : right.samples).push_back(s);
    }
    if (left.samples.size() < min_leaf(config) || right.samples.size() < min_leaf(config)) {
      write_leaf(builder, node, input, targets);
      return std::nullopt;
    }
    write_split(builder, node, *split, best->score);
    left.depth = right.depth = task.depth + 1;
    // A child that the stopping rules make a leaf before any search (too deep
    // or too small) never reads sorted lists: it gets none.
    const auto searched = [&](const StrictTask& child) {
      return child.samples.size() >= std::max<std::uint64_t>(2, config.min_samples_split) &&
             !(config.max_depth && *config.max_depth <= child.depth);
    };
    if (!searched(left) && !searched(right)) return std::make_pair(std::move(left), std::move(right));
    left.sorted.resize(n_features_);
    right.sorted.resize(n_features_);
    for_each_feature(samples.size() * n_features_, n_threads, [&](std::uint64_t f) {
      // Counted first, so that each side is allocated once at its size.
      const std::vector<SortedValue>& from = task.sorted[f];
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
      std::vector<SortedValue>().swap(task.sorted[f]);
    });
    return std::make_pair(std::move(left), std::move(right));
  }

 private:
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
  const TreeConfig& config_;
  std::span<const FeatureColumn> columns_;
  std::uint64_t n_features_;
  std::uint64_t n_total_;
  std::vector<std::uint8_t> left_side_;  // side of the chosen split, per sample
};

}  // namespace

Tree grow_strict(const GrowInput& input, std::span<const FeatureColumn> columns) {
  const TreeConfig& config = *input.config;
  StrictGrower grower(input, columns);
  const std::uint64_t threads = fit_threads(config, columns.size());
  StrictTask root = grower.root(threads);
  const std::uint64_t n = root.samples.size();
  if (threads == 1) {
    StrictWorker worker;
    return grow_depth_first(std::move(root), [&](StrictTask& task, TreeBuilder& builder, std::size_t node) {
      return grower.step(worker, task, builder, node, 1);
    });
  }
  std::vector<StrictWorker> workers(threads);
  return grow_on_threads(
      std::move(root), threads, pool_grain(n, threads),
      [](const StrictTask& task) { return static_cast<std::uint64_t>(task.samples.size()); },
      [&](std::size_t worker, StrictTask& task, TreeBuilder& builder, std::size_t node, std::uint64_t node_threads) {
        return grower.step(workers.at(worker), task, builder, node, node_threads);
      });
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

/// A node waiting to be grown: its run of samples [begin, end).
struct FastTask {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::uint64_t depth = 0;
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
std::uint64_t check_fast_entry(const GrowInput& input, std::uint64_t n_samples, std::uint64_t n_features) {
  if (input.task == TaskKind::Regression && input.criterion->name() == "mae") {
    throw ValueError("this task (e.g. MAE) is not supported in SplitMode::Fast; use Strict");
  }
  check_fast_sample_count(n_samples);
  return fit_threads(*input.config, n_features);
}

}  // namespace

void check_fast_sample_count(std::uint64_t n_samples) {
  if (n_samples > std::numeric_limits<std::uint32_t>::max()) {
    throw ValueError("fast mode supports at most 4294967295 samples, got " + std::to_string(n_samples) +
                     "; use mode \"strict\"");
  }
}

Tree fit_fast(const GrowInput& input, std::span<const FeatureColumn> columns) {
  const std::uint64_t threads =
      check_fast_entry(input, columns.empty() ? 0 : columns.front().size(), columns.size());
  const EncodedFeatures encoded = encode_features(columns, input.config->n_bins, true, threads);
  return grow_fast(input, encoded);
}

Tree fit_fast(const GrowInput& input, const MatrixView& x, std::span<const std::uint64_t> categorical) {
  const std::uint64_t threads = check_fast_entry(input, x.n_rows, x.n_cols);
  const EncodedFeatures encoded = encode_matrix(x, categorical, input.config->n_bins, true, threads);
  return grow_fast(input, encoded);
}

namespace {

/// What one thread of a fast-mode fit reuses from node to node.
struct FastWorker {
  NodeValues targets;
  HistogramScratch scratch;
  std::vector<std::uint32_t> positions;  // shuffled positions in the node's run
  std::vector<std::uint8_t> fold_ids;    // fold of each shuffled position
  std::vector<std::uint32_t> shuffled;   // the node's samples in shuffled order
  std::vector<std::uint8_t> run_folds;   // fold of each position of the run
  NodeTargets node_targets;
};

class FastGrower {
 public:
  FastGrower(const GrowInput& input, const EncodedFeatures& encoded)
      : input_(input),
        config_(*input.config),
        encoded_(encoded),
        n_features_(encoded.n_features),
        n_classes_(input.task == TaskKind::Objective ? input.objective->n_classes : input.n_classes),
        histogram_(histogram_task(input)),
        columns_(n_features_),
        specs_(n_features_),
        code_rows_{encoded.narrow ? encoded.narrow_codes.data() : nullptr,
                   encoded.narrow ? nullptr : encoded.codes.data(), n_features_},
        run_(encoded.sample_count) {
    std::iota(columns_.begin(), columns_.end(), std::size_t{0});
    for (std::uint64_t f = 0; f < n_features_; ++f) {
      const FeatureBins& bins = encoded.bins[f];
      specs_[f] = FeatureSpec{f, bins.n_codes,
                              config_.split_style == SplitStyle::Threshold && bins.is_continuous,
                              bins.has_missing};
    }
    std::iota(run_.begin(), run_.end(), std::uint32_t{0});
  }

  FastTask root() const { return FastTask{0, run_.size(), 0}; }

  /// Grows one node with up to `n_threads` threads inside it (nodes below
  /// parallel_min_samples use one). Concurrent nodes own disjoint runs.
  std::optional<std::pair<FastTask, FastTask>> step(FastWorker& worker, const FastTask& task,
                                                    TreeBuilder& builder, std::size_t node,
                                                    std::uint64_t n_threads) {
    const GrowInput& input = input_;
    const TreeConfig& config = config_;
    const std::span<std::uint32_t> samples(run_.data() + task.begin, task.end - task.begin);
    const std::uint64_t n = samples.size();
    NodeValues& targets = worker.targets;
    gather_targets(input, std::span<const std::uint32_t>(samples), targets);
    if (stops_early(input, n, task.depth, targets)) {
      write_leaf(builder, node, input, targets);
      return std::nullopt;
    }
    // The node's folds, as assign_folds draws them from the run's order.
    const std::uint64_t n_folds =
        fold_order(n, config.cv_folds, config.cv_seed, config.cv_shuffle, worker.positions, worker.fold_ids);
    if (n_folds == 0) {
      write_leaf(builder, node, input, targets);
      return std::nullopt;
    }
    NodeTargets& node_targets = worker.node_targets;
    node_targets.n_folds = n_folds;
    if (input.task == TaskKind::Regression) {
      // Sums follow the shuffled order: list the samples that way.
      worker.shuffled.resize(n);
      for (std::size_t p = 0; p < n; ++p) worker.shuffled[p] = samples[worker.positions[p]];
      node_targets.samples = worker.shuffled;
      node_targets.fold_ids = worker.fold_ids;
      node_targets.gather_values(std::span<const double>(targets.values),
                                 std::span<const std::uint32_t>(worker.positions));
    } else {
      // Counts take any order: keep the run's, with each position's fold.
      worker.run_folds.resize(n);
      for (std::size_t p = 0; p < n; ++p) worker.run_folds[worker.positions[p]] = worker.fold_ids[p];
      node_targets.samples = samples;
      node_targets.fold_ids = worker.run_folds;
      node_targets.labels = targets.labels;
      node_targets.n_classes = n_classes_;
    }
    // With threads a large node's samples are shared out (whole folds for the
    // order-dependent regression sums, any share for class counts), so that
    // each thread reads only its share of the code rows.
    const std::uint64_t threads = n >= config.parallel_min_samples ? n_threads : 1;
    std::vector<std::vector<ScoredSplit>> per_feature;
    score_feature_block(histogram_, input.objective, code_rows_, columns_, specs_, node_targets,
                        *input.aggregator, worker.scratch, per_feature, threads);
    const std::vector<ScoredSplit> records = flatten(std::move(per_feature));
    const ScoredSplit* best = accepted_split(input, records);
    std::optional<FastSplit> split;
    if (best != nullptr) {
      check_index(best->feature, n_features_, "encoded features");
      split = fast_split(input, encoded_.bins[best->feature], best->feature, best->code);
    }
    if (!split) {
      write_leaf(builder, node, input, targets);
      return std::nullopt;
    }
    const std::uint64_t f = split->spec.feature;
    const EncodedFeatures& encoded = encoded_;
    const auto prefetch = [&](std::uint32_t s) { encoded.prefetch_row(s); };
    const std::size_t i =
        split->threshold
            ? partition_in_place(samples, [&](std::uint32_t s) { return encoded.code(s, f) <= split->code; }, prefetch)
            : partition_in_place(samples, [&](std::uint32_t s) { return encoded.code(s, f) == split->code; }, prefetch);
    if (i < min_leaf(config) || n - i < min_leaf(config)) {
      write_leaf(builder, node, input, targets);
      return std::nullopt;
    }
    write_split(builder, node, split->spec, best->score);
    return std::make_pair(FastTask{task.begin, task.begin + i, task.depth + 1},
                          FastTask{task.begin + i, task.end, task.depth + 1});
  }

 private:
  const GrowInput& input_;
  const TreeConfig& config_;
  const EncodedFeatures& encoded_;
  std::uint64_t n_features_;
  std::uint64_t n_classes_;
  HistogramTask histogram_;
  std::vector<std::size_t> columns_;
  std::vector<FeatureSpec> specs_;
  CodeRows code_rows_;
  std::vector<std::uint32_t> run_;  // sample ids; each node owns a range of it
};

}  // namespace

Tree grow_fast(const GrowInput& input, const EncodedFeatures& encoded) {
  const TreeConfig& config = *input.config;
  FastGrower grower(input, encoded);
  const std::uint64_t threads = fit_threads(config, encoded.n_features);
  const std::uint64_t n = encoded.sample_count;
  if (threads == 1 || n < config.parallel_min_samples) {
    FastWorker worker;
    return grow_depth_first(grower.root(), [&](const FastTask& task, TreeBuilder& builder, std::size_t node) {
      return grower.step(worker, task, builder, node, 1);
    });
  }
  std::vector<FastWorker> workers(threads);
  return grow_on_threads(
      grower.root(), threads, std::max(config.parallel_min_samples, pool_grain(n, threads)),
      [](const FastTask& task) { return static_cast<std::uint64_t>(task.end - task.begin); },
      [&](std::size_t worker, const FastTask& task, TreeBuilder& builder, std::size_t node,
          std::uint64_t node_threads) { return grower.step(workers.at(worker), task, builder, node, node_threads); });
}

}  // namespace quor
