#pragma once
/// The node procedure both growers share, and the order in which they grow.
///
/// A node is grown the same way in either mode: gather its targets; stop at
/// once (too few samples, too deep, pure); search every feature's candidates;
/// take the best scored split whose score passes min_impurity_decrease; turn
/// it into the split the tree stores; partition the samples; make the node a
/// leaf if a side falls below min_samples_leaf, else write the split and hand
/// back the children. A mode (GrowthMode) supplies only what differs: how it
/// searches a node, how a scored split becomes a split, and how it partitions.
///
/// Trees grow depth-first, left subtree first, from an explicit stack rather
/// than recursion, so depth is bounded only by the number of samples. With
/// threads, subtrees grow side by side and are put together in the same
/// pre-order: the tree is the same.

#include <concepts>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "aggregation.hpp"
#include "config.hpp"
#include "gather.hpp"
#include "held_out.hpp"
#include "interrupt.hpp"
#include "parallel.hpp"
#include "sampling.hpp"
#include "scored_split.hpp"
#include "split.hpp"
#include "task.hpp"
#include "tree.hpp"

namespace quor {

/// What a forest changes in the growth of one of its trees. The defaults grow
/// the single tree: every sample at the root, every feature at every node.
/// How a tree's root ended: what a caller needs to explain a tree that is a
/// single leaf.
struct RootReport {
  bool searched = false;  // past the stopping rules, its features were searched
  bool scored = false;    // and some candidate got a finite aggregated score
  /// and the best accepted candidate had no split to store: under the
  /// threshold test with missing values right, the one that sends every
  /// finite value left (only missing values right).
  bool unstorable = false;
  std::uint64_t n_samples = 0;
  std::uint64_t n_folds = 0;  // the folds its samples were divided into, when searched
};

struct GrowOptions {
  /// The root's samples, ascending and distinct; empty means 0 … n − 1.
  std::span<const std::uint32_t> root_samples;
  /// The number of features each node searches, drawn for the node by
  /// `draw_features` from its key (root_node_key(tree_seed), then
  /// child_node_key along its path); 0 means every feature, without a draw.
  std::uint64_t max_features = 0;
  /// Fast mode: the candidate thresholds each node scores per continuous
  /// feature, drawn from the node's key (FeatureSpec::max_thresholds); 0
  /// scores every one. Strict mode has no drawn thresholds.
  std::uint64_t max_thresholds = 0;
  std::uint64_t tree_seed = 0;
  /// Checked at every node; null: growth cannot be interrupted.
  Interrupt* interrupt = nullptr;
  /// Filled in at the root when given.
  RootReport* root_report = nullptr;
  /// Each sample's weight, by sample id (weights.hpp); empty: unweighted.
  std::span<const double> weights;
  /// Whether each split is also measured on folds that did not choose it
  /// (held_out.hpp), its credits stored in the tree. The tree is the same.
  bool held_out = false;
};

/// Everything a grower reads besides the features; the caller keeps it alive
/// for the whole growth.
struct GrowInput {
  const Task& task;
  const TreeConfig& config;
  const Aggregator& aggregator;
  const Targets& targets;  // values for a regression task, labels otherwise
  GrowOptions options = {};
};

/// A node's targets gathered in node order: the leaf value and the purity test
/// read them. Kept by a worker from node to node.
struct NodeValues {
  std::vector<double> values;
  std::vector<std::uint64_t> labels;
  std::vector<double> weights;  // weighted fits only

  template <class Id>
  void gather(const GrowInput& input, std::span<const Id> samples) {
    if (std::holds_alternative<RegressionTask>(input.task)) {
      gather_at(std::span<const double>(input.targets.values), samples, values);
    } else {
      gather_at(std::span<const std::uint64_t>(input.targets.labels), samples, labels);
    }
    if (!input.options.weights.empty()) gather_at(input.options.weights, samples, weights);
  }
  std::uint64_t size(const GrowInput& input) const {
    return std::holds_alternative<RegressionTask>(input.task) ? values.size() : labels.size();
  }
};

/// Writes the node's leaf at `index` of the builder: the mean of its targets,
/// or its class distribution with the lowest most frequent class.
void write_leaf(TreeBuilder& builder, std::size_t index, const GrowInput& input, const NodeValues& targets);

/// Under the metric rule of an objective task, relabels the leaves of a
/// finished tree with the labelling that serves the metric on their training
/// samples (metric_leaf_labels); otherwise leaves the tree as it is.
void label_leaves(const GrowInput& input, Tree& tree);

/// The stopping rules that need no search; true when the node is a leaf.
bool stops_early(const GrowInput& input, std::uint64_t depth, const NodeValues& targets);

/// The node's choice among its scored splits; nullptr when none is finite or
/// the best does not exceed min_impurity_decrease.
const ScoredSplit* accepted_split(const GrowInput& input, std::span<const ScoredSplit> scored);

/// Fills in the options' root report, if any, for a root of `n_samples` that
/// was searched and scored as `scored`.
void report_root(const GrowInput& input, std::uint64_t n_samples, std::span<const ScoredSplit> scored);

/// The smallest a child may be: max(1, min_samples_leaf).
std::uint64_t min_leaf(const TreeConfig& config);

/// The weight of a set of samples: their weight sum in the order given, or
/// their count when unweighted.
template <class Id>
double weight_of(const GrowInput& input, std::span<const Id> samples) {
  if (input.options.weights.empty()) return static_cast<double>(samples.size());
  double sum = -0.0;
  for (const Id s : samples) sum += input.options.weights[s];
  return sum;
}

/// The sample ids of a node: 32-bit in fast mode, 64-bit in strict mode.
template <class S>
concept SampleIds = std::same_as<S, std::span<const std::uint32_t>> || std::same_as<S, std::span<const std::uint64_t>>;

/// What the node procedure the modes share (grow_node, grow_tree) requires of
/// a mode: what differs between fast and strict growth. `Node` is a node
/// waiting to be grown, which grow_node gives its `depth` and the `key` of its
/// feature draw; `Worker` is what one thread reuses from node to node, made
/// by default, with room for the node's targets and drawn features.
template <class M>
concept GrowthMode =
    std::default_initializable<typename M::Worker> && std::movable<typename M::Node> &&
    requires(M& mode, typename M::Worker& worker, typename M::Node& node, const typename M::Node& pending,
             std::span<const std::size_t> features, std::uint64_t n_threads, const ScoredSplit& best,
             const SplitChoice& choice) {
      { worker.targets } -> std::same_as<NodeValues&>;
      { worker.features } -> std::same_as<std::vector<std::size_t>&>;
      // The held-out choices of the node's last search, when the options measure them.
      { worker.held_out } -> std::same_as<HeldOutChoice&>;
      { worker.honest } -> std::same_as<std::vector<HonestScore>&>;
      { worker.sides } -> std::same_as<std::vector<std::uint8_t>&>;
      { node.depth } -> std::same_as<std::uint64_t&>;
      { node.key } -> std::same_as<std::uint64_t&>;
      // The node's sample ids and their count.
      { mode.samples(pending) } -> SampleIds;
      { mode.size(pending) } -> std::convertible_to<std::uint64_t>;
      { mode.n_features() } -> std::convertible_to<std::uint64_t>;
      // The scored splits of the listed features (ascending), on n_threads.
      { mode.search(worker, pending, features, n_threads) } -> std::same_as<std::vector<ScoredSplit>>;
      // The split the best scored split stands for, or nullopt.
      { mode.split_for(pending, best) } -> std::same_as<std::optional<SplitChoice>>;
      // The two children, their samples only; given each sample's side (in
      // the order of the node's samples), from those.
      { mode.partition(pending, choice, std::span<const std::uint8_t>()) }
          -> std::same_as<std::pair<typename M::Node, typename M::Node>>;
      // The rest of the children's state, from the node's.
      mode.prepare_children(node, node, node, n_threads);
      // Every sample of the node with its fold in the last search (before
      // the partition) and its position in the node's targets, and the side
      // a split sends a sample to.
      mode.for_each_fold_sample(worker, pending, [](std::size_t, std::uint64_t, std::size_t) {});
      { mode.goes_left(choice, std::uint64_t{0}) } -> std::same_as<bool>;
      // For a continuous feature and a bound its split stores: the largest
      // finite value of the node below the bound and the smallest at or
      // above it (or values between which the node has none), or nullopt.
      { mode.value_gap(pending, std::uint64_t{0}, 0.0) } -> std::same_as<std::optional<std::pair<double, double>>>;
    };

/// Halfway between `below` and `above` (below < above), rounded so that it is
/// above `below` and not above `above`: a value at `above` still goes right.
inline double midpoint_between(double below, double above) {
  const double middle = below / 2 + above / 2;  // halved first: no overflow
  return below < middle && middle <= above ? middle : above;
}

/// Moves each bound of a continuous split to the middle of the gap between
/// the node's values on either side of it. The node's samples go the same
/// way; a value that falls in the gap at prediction goes to the nearer side.
template <GrowthMode Mode>
void place_at_midpoints(const Mode& mode, const typename Mode::Node& node, Split& split) {
  if (split.is_categorical) return;
  for (std::optional<double>* bound : {&split.lower, &split.upper}) {
    if (!*bound) continue;
    if (const auto gap = mode.value_gap(node, split.feature, **bound)) **bound = midpoint_between(gap->first, gap->second);
  }
}

/// Measures each fold's choice of the node's last search afresh by its honest
/// score (held_out.hpp). Each distinct choice becomes the split the node
/// would store for it, and one pass over the node's samples sends every
/// sample down each of them (a sample's codes are read together). A choice
/// with no storable split scores 0. The node's own split (`best`, stored as
/// `chosen`) goes along: the side of each sample, in the order of the
/// node's samples, is returned for the partition (empty when the task is not
/// measured so).
template <GrowthMode Mode>
std::span<const std::uint8_t> measure_choices(const GrowInput& input, const Mode& mode,
                                              typename Mode::Worker& worker, const typename Mode::Node& node,
                                              const ScoredSplit& best, const SplitChoice& chosen) {
  if (!measures_honestly(input.task)) return {};
  HeldOutChoice& choices = worker.held_out;
  const std::size_t K = choices.n_folds();
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::vector<std::size_t> measure_of(K, kNone);  // the index of fold k's choice in `splits`
  std::vector<SplitChoice> splits{chosen};
  for (std::size_t k = 0; k < K; ++k) {
    if (!choices.chose(k)) continue;
    if (choices.feature(k) == best.feature && choices.code(k) == best.code &&
        choices.missing_left(k) == best.missing_left) {
      measure_of[k] = 0;
      continue;
    }
    std::size_t j = 0;
    while (j < k && !(choices.chose(j) && choices.same_choice(j, k))) ++j;
    if (j < k) {
      measure_of[k] = measure_of[j];
      continue;
    }
    ScoredSplit pick;
    pick.feature = choices.feature(k);
    pick.code = choices.code(k);
    pick.missing_left = choices.missing_left(k);
    if (std::optional<SplitChoice> split = mode.split_for(node, pick)) {
      measure_of[k] = splits.size();
      splits.push_back(std::move(*split));
    }
  }
  std::vector<HonestScore>& honest = worker.honest;
  if (honest.size() < splits.size()) honest.resize(splits.size());
  for (std::size_t c = 0; c < splits.size(); ++c) honest[c].start(input.task, K);
  const NodeValues& targets = worker.targets;
  std::vector<std::uint8_t>& sides = worker.sides;
  sides.resize(mode.size(node));
  const bool regression = std::holds_alternative<RegressionTask>(input.task);
  const bool weighted = !input.options.weights.empty();
  if (regression) {
    mode.for_each_fold_sample(worker, node, [&](std::size_t i, std::uint64_t s, std::size_t fold) {
      for (std::size_t c = 0; c < splits.size(); ++c) {
        const bool left = mode.goes_left(splits[c], s);
        if (c == 0) sides[i] = left;
        if (weighted) {
          honest[c].add_value(fold, left, targets.weights[i], targets.values[i]);
        } else {
          honest[c].add_value(fold, left, targets.values[i]);
        }
      }
    });
  } else {
    mode.for_each_fold_sample(worker, node, [&](std::size_t i, std::uint64_t s, std::size_t fold) {
      for (std::size_t c = 0; c < splits.size(); ++c) {
        const bool left = mode.goes_left(splits[c], s);
        if (c == 0) sides[i] = left;
        if (weighted) {
          honest[c].add_label(fold, left, targets.weights[i], targets.labels[i]);
        } else {
          honest[c].add_label(fold, left, targets.labels[i]);
        }
      }
    });
  }
  for (std::size_t k = 0; k < K; ++k) {
    if (choices.chose(k)) choices.set_score(k, measure_of[k] == kNone ? 0.0 : honest[measure_of[k]].score(k));
  }
  return sides;
}

/// The node's scored splits: those of the features it draws (every feature
/// unless the options set max_features), in ascending feature order. When
/// none of the drawn features has a finite score, those of the features it
/// did not draw: a node that found nothing usable among a few features would
/// otherwise end its branch for the luck of the draw.
template <GrowthMode Mode>
std::vector<ScoredSplit> node_scored_splits(const GrowInput& input, Mode& mode, typename Mode::Worker& worker,
                                            const typename Mode::Node& node, std::uint64_t n_threads) {
  const GrowOptions& options = input.options;
  const std::uint64_t n_features = mode.n_features();
  std::vector<std::size_t>& features = worker.features;
  draw_features(node.key, n_features, options.max_features, features);
  std::vector<ScoredSplit> scored = mode.search(worker, node, features, n_threads);
  if (features.size() == n_features || choose_best_split(scored) != nullptr) {
    return scored;
  }
  std::vector<std::size_t> others;
  others.reserve(n_features - features.size());
  std::size_t k = 0;
  for (std::size_t f = 0; f < n_features; ++f) {
    if (k < features.size() && features[k] == f) {
      ++k;
    } else {
      others.push_back(f);
    }
  }
  return mode.search(worker, node, others, n_threads);
}

/// Grows one node as described above into `index` of the builder, with
/// `n_threads` threads inside it, and returns its children when it split.
/// Every node is a point at which the options' interrupt can stop growth.
/// `min_weight` is the least weight a child may hold (min_weight_fraction_leaf
/// of the root's weight).
template <GrowthMode Mode>
std::optional<std::pair<typename Mode::Node, typename Mode::Node>> grow_node(
    const GrowInput& input, Mode& mode, typename Mode::Worker& worker, typename Mode::Node& node,
    TreeBuilder& builder, std::size_t index, std::uint64_t n_threads, double min_weight) {
  check_interrupt(input.options.interrupt);
  NodeValues& targets = worker.targets;
  targets.gather(input, mode.samples(node));
  if (!stops_early(input, node.depth, targets)) {
    const std::vector<ScoredSplit> scored = node_scored_splits(input, mode, worker, node, n_threads);
    if (node.depth == 0) report_root(input, mode.size(node), scored);
    const ScoredSplit* best = accepted_split(input, scored);
    const std::optional<SplitChoice> choice = best == nullptr ? std::nullopt : mode.split_for(node, *best);
    if (node.depth == 0 && best != nullptr && !choice && input.options.root_report != nullptr) {
      input.options.root_report->unstorable = true;
    }
    if (choice) {
      // Measured before the partition, which may reorder the node's samples;
      // the measurement's pass gives the partition its sides.
      std::span<const std::uint8_t> sides;
      if (input.options.held_out) sides = measure_choices(input, mode, worker, node, *best, *choice);
      auto children = mode.partition(node, *choice, sides);
      const std::uint64_t smallest = min_leaf(input.config);
      const bool heavy_enough = min_weight <= 0.0 || (weight_of(input, mode.samples(children.first)) >= min_weight &&
                                                      weight_of(input, mode.samples(children.second)) >= min_weight);
      if (mode.size(children.first) >= smallest && mode.size(children.second) >= smallest && heavy_enough) {
        if (input.config.threshold_placement == ThresholdPlacement::Midpoint) {
          Split split = choice->split;
          place_at_midpoints(mode, node, split);
          builder.make_split(index, split);
        } else {
          builder.make_split(index, choice->split);
        }
        if (input.options.held_out) builder.set_split_credits(index, worker.held_out.credits());
        children.first.depth = children.second.depth = node.depth + 1;
        children.first.key = child_node_key(node.key, true);
        children.second.key = child_node_key(node.key, false);
        mode.prepare_children(node, children.first, children.second, n_threads);
        return children;
      }
    }
  }
  write_leaf(builder, index, input, targets);
  return std::nullopt;
}

/// Grows a tree from `root` depth-first, left subtree first, from an explicit
/// stack: the right child waits while the whole left subtree is grown, exactly
/// as recursion would order it. step(node, builder, index) grows one node: it
/// writes a leaf or a split at `index` of the builder and returns the
/// children when it split.
template <class Node, class Step>
Tree grow_depth_first(Node root, const Step& step) {
  struct Item {
    Node node;
    std::size_t parent;
    bool is_left;
  };
  TreeBuilder builder;
  std::vector<Item> stack;
  stack.push_back(Item{std::move(root), TreeBuilder::npos, false});
  while (!stack.empty()) {
    Item item = std::move(stack.back());
    stack.pop_back();
    const std::size_t index = builder.begin_node(item.parent, item.is_left);
    auto children = step(item.node, builder, index);
    if (!children) continue;
    stack.push_back(Item{std::move(children->second), index, false});
    stack.push_back(Item{std::move(children->first), index, true});
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
/// step(worker, node, builder, index, n_threads) with n_threads above 1.
template <class Node, class Size, class Step>
Tree grow_on_threads(Node root, std::uint64_t n_threads, std::uint64_t grain, const Size& size_of,
                     const Step& step) {
  struct Job {
    Node node;
    TreePiece* piece;
  };
  std::deque<TreePiece> pieces;  // references stay valid as pieces are added
  std::mutex pieces_mutex;
  std::vector<Job> first;
  first.push_back(Job{std::move(root), &pieces.emplace_back()});
  run_task_pool(
      std::move(first), n_threads, [&](const Job& job) { return size_of(job.node); },
      [&](std::size_t worker, Job job, const auto& push, std::size_t idle) {
        if (size_of(job.node) < grain) {
          job.piece->tree = grow_depth_first(std::move(job.node), [&](auto& node, TreeBuilder& builder,
                                                                     std::size_t index) {
            return step(worker, node, builder, index, 1);
          });
          return;
        }
        TreeBuilder builder;
        const std::size_t index = builder.begin_node(TreeBuilder::npos, false);
        auto children = step(worker, job.node, builder, index, 1 + idle);
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
std::uint64_t pool_grain(std::uint64_t n_root, std::uint64_t n_threads);

/// Grows a whole tree in `mode` from its root on `n_threads` threads (one
/// worker record each; grow_on_threads, whose nodes below the grain, and so
/// below `min_threaded` samples, grow with their whole subtree on one
/// thread). With one thread, or a root below `min_threaded`, the plain
/// depth-first growth runs on the calling thread. A node's key (its feature
/// draw) follows its path from the root, whichever thread grows it.
template <GrowthMode Mode>
Tree grow_tree(const GrowInput& input, Mode& mode, typename Mode::Node root, std::uint64_t n_threads,
               std::uint64_t min_threaded) {
  using Node = typename Mode::Node;
  root.key = root_node_key(input.options.tree_seed);
  const std::uint64_t n = mode.size(root);
  const double min_weight = input.config.min_weight_fraction_leaf > 0.0
                                ? input.config.min_weight_fraction_leaf * weight_of(input, mode.samples(root))
                                : 0.0;
  if (n_threads == 1 || n < min_threaded) {
    typename Mode::Worker worker;
    Tree tree = grow_depth_first(std::move(root), [&](Node& node, TreeBuilder& builder, std::size_t index) {
      return grow_node(input, mode, worker, node, builder, index, 1, min_weight);
    });
    label_leaves(input, tree);
    tree.has_credits = input.options.held_out;
    return tree;
  }
  std::vector<typename Mode::Worker> workers(n_threads);
  Tree tree = grow_on_threads(
      std::move(root), n_threads, std::max(min_threaded, pool_grain(n, n_threads)),
      [&](const Node& node) { return mode.size(node); },
      [&](std::size_t worker, Node& node, TreeBuilder& builder, std::size_t index, std::uint64_t node_threads) {
        return grow_node(input, mode, workers.at(worker), node, builder, index, node_threads, min_weight);
      });
  label_leaves(input, tree);
  tree.has_credits = input.options.held_out;
  return tree;
}

}  // namespace quor
