#include "raw_forest.hpp"

#include <algorithm>
#include <atomic>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "borrow.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "estimators.hpp"
#include "forest.hpp"
#include "forest_dump.hpp"
#include "settings.hpp"
#include "weights.hpp"
#include "guard.hpp"
#include "lock.hpp"

namespace quor::py {

namespace {

/// What a RawForest owns: its trees' settings, the forest's own, and once
/// fitted the trees and the out-of-bag predictions.
struct ForestRecord {
  Settings settings;  // the trees' settings
  ForestOptions options;
  std::vector<PackedTree> trees;
  std::vector<RootReport> roots;  // how each tree's root ended; empty for a loaded forest
  std::vector<double> oob_prediction;
  std::vector<std::uint64_t> in_bag;  // Forest::in_bag, until read by take_in_bag
  std::vector<double> oob_contributions;  // Forest::oob_contributions, until read
  std::uint64_t n_features = 0;           // of the fit, the width of oob_contributions
  bool has_oob_contributions = false;
  bool has_oob = false;
  bool has_in_bag = false;

  bool is_fitted() const { return !trees.empty(); }
  /// Whether the trees' leaves are labelled by a metric, so that a class is
  /// predicted by the trees' votes rather than by the largest mean probability.
  bool votes() const {
    const auto* objective = std::get_if<ObjectiveTask>(&settings.task);
    return objective != nullptr && objective->labels == LabelRule::Metric;
  }
  /// Probabilities per row: the classes, at least one; 0 for regression.
  std::size_t k() const { return settings.is_classifier() ? std::max<std::uint64_t>(settings.n_classes(), 1) : 0; }
};

struct ForestObject {
  PyObject_HEAD
  ForestRecord* record;  // owned
  long borrows;
};

PyTypeObject* g_forest_type = nullptr;

PyRef wrap(PyTypeObject* type, ForestRecord record) {
  auto owned = std::make_unique<ForestRecord>(std::move(record));
  const auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyRef object = checked(alloc(type, 0));
  auto* forest = reinterpret_cast<ForestObject*>(object.get());
  forest->record = owned.release();
  forest->borrows = 0;
  return object;
}

void forest_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<ForestObject*>(self)->record;
  const auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DECREF(type);
}

// ---- settings ----

/// The settings a forest's trees take: the raw classes' arguments but their
/// threads, which a forest is given at each call (`n_jobs`).
bool is_tree_setting(std::string_view name) { return name != "parallel" && name != "n_threads"; }

/// A tree setting that settings written before it existed lack: it then
/// keeps its default. It changes how fast a tree grows, never the tree.
bool is_optional_setting(std::string_view name) { return name == "parallel_min_samples"; }

constexpr const char* kForestSettings[] = {"max_features", "max_samples"};

/// Calls `work(std::type_identity<T>{})` with the task type T of `kind`.
template <class Work>
auto with_task_type(const std::string& kind, const Work& work) {
  if (kind == "regressor") return work(std::type_identity<RegressionTask>{});
  if (kind == "classifier") return work(std::type_identity<ClassificationTask>{});
  if (kind == "objective_classifier") return work(std::type_identity<ObjectiveTask>{});
  throw ValueError("unknown forest kind " + quoted(kind) +
                   "; expected \"regressor\", \"classifier\" or \"objective_classifier\"");
}

/// A value of the settings dict, or nullptr when it has no `key`.
PyObject* optional_setting(PyObject* settings, const char* key) {
  const PyRef name = checked(PyUnicode_FromString(key));
  PyObject* value = PyDict_GetItemWithError(settings, name.get());
  if (value == nullptr && PyErr_Occurred()) throw ErrorAlreadySet{};
  return value;
}

/// A value of the settings dict that must be there.
PyObject* setting(PyObject* settings, const char* key) {
  PyObject* value = optional_setting(settings, key);
  if (value == nullptr) throw TypeError(std::string("argument 'settings': missing key '") + key + "'");
  return value;
}

/// Forests saved by earlier versions (model files of format version 2,
/// pickles) carry two settings with the only values a forest can have: rows
/// drawn without replacement ("sampling": "subsample") and a node whose drawn
/// features give no finite score scoring the others ("score_other_features":
/// True). They are taken with exactly those values and refused with any
/// other; returns how many the dict holds.
std::size_t legacy_settings(PyObject* settings) {
  std::size_t present = 0;
  if (PyObject* value = optional_setting(settings, "sampling")) {
    const std::string sampling = argument("sampling", value, to_string);
    if (sampling != "subsample") {
      throw ValueError("unknown row sampling " + quoted(sampling) + "; a forest draws its rows without " +
                       "replacement (\"subsample\")");
    }
    ++present;
  }
  if (PyObject* value = optional_setting(settings, "score_other_features")) {
    if (!argument("score_other_features", value, to_bool)) {
      throw ValueError("score_other_features must be True: a node whose drawn features give no finite "
                       "score always scores the others");
    }
    ++present;
  }
  return present;
}

/// The record of a forest of `kind` with `settings`: the keyword arguments
/// of the raw class of that kind (without its threading ones) and the
/// forest's own, each converted and checked as the raw class does.
ForestRecord build_record(PyObject* kind_object, PyObject* settings_object) {
  const std::string kind = argument("kind", kind_object, to_string);
  PyObject* settings = argument("settings", settings_object, to_dict);
  return with_task_type(kind, [&](auto task_type) {
    using T = typename decltype(task_type)::type;
    SettingsOptions options;
    std::size_t expected = 0;
    for (const char* const* name = constructor_arguments<T>(); *name != nullptr; ++name) {
      if (!is_tree_setting(*name)) continue;
      PyObject* value = is_optional_setting(*name) ? optional_setting(settings, *name) : setting(settings, *name);
      if (value == nullptr) continue;
      convert_option(options, *name, value);
      ++expected;
    }
    ForestRecord record;
    if constexpr (std::is_same_v<T, ObjectiveTask>) {
      // The package's rule for the labels of sides and leaves; settings
      // written before it existed lack it and keep the majority rule.
      if (PyObject* value = optional_setting(settings, "objective_labels")) {
        convert_option(options, "objective_labels", value);
        ++expected;
      }
    }
    record.options.max_features = argument("max_features", setting(settings, "max_features"), to_u64);
    record.options.max_samples = argument("max_samples", setting(settings, "max_samples"), to_u64);
    expected += std::size(kForestSettings) + legacy_settings(settings);
    // Settings saved before it existed lack it: no weight limit.
    if (PyObject* value = optional_setting(settings, "min_weight_fraction_leaf")) {
      options.config.min_weight_fraction_leaf = argument("min_weight_fraction_leaf", value, to_f64);
      check_weight_fraction(options.config.min_weight_fraction_leaf);
      ++expected;
    }
    // Settings saved before splits could send missing values left lack it:
    // they send them right.
    if (PyObject* value = optional_setting(settings, "missing")) {
      options.config.missing = parse_missing_side(argument("missing", value, to_string));
      ++expected;
    }
    // Settings saved before drawn thresholds lack it: every threshold scored.
    if (PyObject* value = optional_setting(settings, "max_thresholds")) {
      record.options.max_thresholds = argument("max_thresholds", value, to_u64);
      ++expected;
    }
    // Settings saved before set splits lack it: one category per split.
    if (PyObject* value = optional_setting(settings, "categorical_split")) {
      options.config.categorical_split = parse_categorical_split(argument("categorical_split", value, to_string));
      ++expected;
    }
    // Settings saved before the option lack it: bounds at the bins' edges.
    if (PyObject* value = optional_setting(settings, "threshold_placement")) {
      options.config.threshold_placement =
          parse_threshold_placement(argument("threshold_placement", value, to_string));
      ++expected;
    }
    if (static_cast<std::size_t>(PyDict_Size(settings)) != expected) {
      throw TypeError("argument 'settings': unexpected keys for a forest of this kind");
    }
    record.settings = build_settings<T>(options);
    if (record.options.max_thresholds != 0 && record.settings.config.mode != SplitMode::Fast) {
      throw ValueError(kThresholdsNeedFastMode);
    }
    return record;
  });
}

PyObject* forest_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    static const char* const names[] = {"kind", "settings", nullptr};
    const std::vector<PyRef> values = parse_arguments(args, kwargs, "RawForest", names);
    return wrap(type, build_record(values[0].get(), values[1].get()));
  });
}

/// Gives the memory that a load used and freed back to the system. A load
/// frees more than it keeps (the arrays as read, each tree's nodes before it
/// is packed), in pieces that C's allocator keeps for later use when
/// something allocated after them is still alive: a process that loads a
/// forest would otherwise stay about twice its size. (A fit keeps what it
/// freed: the next fit, which needs as much, reuses it without faulting its
/// pages in again.)
void return_free_memory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

void set_item(const PyRef& dict, const char* key, PyRef value) {
  check_status(PyDict_SetItemString(dict.get(), key, value.get()));
}

// ---- work without the lock ----

/// Runs `work(interrupt)` with the interpreter lock released. Every few
/// milliseconds the calling thread takes the lock back to look for Ctrl-C
/// (and to call `progress(trees_done)` when the count moved); either one
/// stopping the work ends the call with the Python exception it raised.
template <class Work>
void run_unlocked(const Work& work, PyObject* progress = nullptr, std::atomic<std::uint64_t>* done = nullptr) {
  ReleasedLock released;
  std::uint64_t reported = 0;
  Interrupt interrupt(
      [&] {
        return released.locked([&] {
          if (PyErr_CheckSignals() != 0) return true;
          if (progress == nullptr || done == nullptr) return false;
          const std::uint64_t now = done->load(std::memory_order_relaxed);
          if (now == reported) return false;
          reported = now;
          return PyRef(PyObject_CallFunction(progress, "K", static_cast<unsigned long long>(now))).get() == nullptr;
        });
      },
      std::chrono::milliseconds(10));
  work(&interrupt);
  interrupt.check();  // a stop asked for as the work ended still stops
}

// ---- methods ----

PyObject* forest_fit(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    static const char* const names[] = {"x",        "y", "seeds", "n_jobs", "oob", "progress", "sample_weight",
                                        "balanced_subsample", "in_bag", "oob_importances", nullptr};
    const std::vector<PyRef> values = parse_arguments(args, kwargs, "fit", names, 6);
    const ExclusiveBorrow<ForestObject> borrow(self);
    ForestRecord& record = borrow.get();
    const MatrixView x = float64_matrix(values[0].get(), "x");
    Targets targets = record.settings.is_classifier()
                          ? classification_targets(int64_vector(values[1].get(), "y"))
                          : regression_targets(float64_vector(values[1].get(), "y"));
    const std::vector<std::uint64_t> seeds =
        argument("seeds", values[2].get(), [](PyObject* o) { return to_vector<std::uint64_t>(o, to_u64); });
    const std::uint64_t n_jobs = std::max<std::uint64_t>(1, argument("n_jobs", values[3].get(), to_u64));
    ForestOptions options = record.options;
    options.oob = argument("oob", values[4].get(), to_bool);
    PyObject* progress = values[5].get() == Py_None ? nullptr : values[5].get();
    std::vector<double> weights;
    if (values[6].get() != nullptr && values[6].get() != Py_None) {
      weights = number_vector(values[6].get(), "sample_weight");
      // An empty vector would mean no weights: it is the wrong length.
      if (weights.empty()) check_weights(weights, x.n_rows);
    }
    if (values[7].get() != nullptr) options.balanced_subsample = argument("balanced_subsample", values[7].get(), to_bool);
    if (values[8].get() != nullptr) options.keep_in_bag = argument("in_bag", values[8].get(), to_bool);
    if (values[9].get() != nullptr) {
      options.oob_importances = argument("oob_importances", values[9].get(), to_bool);
    }
    // Everything the growth reads is copied or encoded here, with the lock
    // held: other threads may change or free the caller's arrays meanwhile.
    const ForestData data = prepare_forest_data(record.settings, x, std::move(targets), n_jobs, weights);
    std::atomic<std::uint64_t> done{0};
    Forest forest;
    run_unlocked(
        [&](Interrupt* interrupt) {
          forest = grow_forest(record.settings, data, seeds, options, n_jobs, interrupt, &done);
        },
        progress, &done);
    if (progress != nullptr) checked(PyObject_CallFunction(progress, "K", static_cast<unsigned long long>(seeds.size())));
    record.trees = std::move(forest.trees);
    record.roots = std::move(forest.roots);
    record.oob_prediction = std::move(forest.oob_prediction);
    record.in_bag = std::move(forest.in_bag);
    record.oob_contributions = std::move(forest.oob_contributions);
    record.n_features = x.n_cols;
    record.has_oob_contributions = options.oob_importances;
    record.has_oob = options.oob;
    record.has_in_bag = options.oob || options.keep_in_bag;
    return PyRef::borrowed(Py_None);
  });
}

/// The arguments (x, n_jobs) of the prediction methods, checked before the
/// fitted state.
std::pair<MatrixView, std::uint64_t> prediction_input(PyObject* args, PyObject* kwargs, const char* function,
                                                      const ForestRecord& record) {
  static const char* const names[] = {"x", "n_jobs", nullptr};
  const std::vector<PyRef> values = parse_arguments(args, kwargs, function, names);
  const MatrixView x = float64_matrix(values[0].get(), "x");
  const std::uint64_t n_jobs = std::max<std::uint64_t>(1, argument("n_jobs", values[1].get(), to_u64));
  if (!record.is_fitted()) throw ValueError("estimator is not fitted");
  // The forest does not know how many features it was grown on (a loaded
  // one has only its trees): rows must hold every column its splits read.
  std::uint64_t needed = 0;
  for (const PackedTree& tree : record.trees) needed = std::max(needed, tree.table.columns_needed());
  if (x.n_rows > 0 && x.n_cols < needed) {
    throw ValueError("x has " + std::to_string(x.n_cols) + " columns, but the forest splits on column " +
                     std::to_string(needed - 1));
  }
  return {x, n_jobs};  // the array stays alive in the call's arguments
}

PyObject* forest_predict(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    const SharedBorrow<ForestObject> borrow(self);
    const ForestRecord& record = borrow.get();
    const auto [x, n_jobs] = prediction_input(args, kwargs, "predict", record);
    const std::size_t k = record.k();
    if (k == 0) {
      const std::uint64_t shape[] = {x.n_rows};
      PyRef out = new_float64_array(shape);
      const std::span<double> values = array_data<double>(out);
      run_unlocked([&](Interrupt* interrupt) {
        predict_forest(record.trees, x, 0, values, n_jobs, interrupt);
      });
      return out;
    }
    PyRef out = new_int64_array(x.n_rows);
    const std::span<std::int64_t> classes = array_data<std::int64_t>(out);
    run_unlocked([&](Interrupt* interrupt) {
      if (record.votes()) {
        vote_forest(record.trees, x, k, classes, n_jobs, interrupt);
        return;
      }
      std::vector<double> proba(x.n_rows * k);
      predict_forest(record.trees, x, k, proba, n_jobs, interrupt);
      classes_from_probabilities(proba, k, classes);
    });
    return out;
  });
}

PyObject* forest_predict_proba(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    const SharedBorrow<ForestObject> borrow(self);
    const ForestRecord& record = borrow.get();
    const auto [x, n_jobs] = prediction_input(args, kwargs, "predict_proba", record);
    const std::size_t k = std::max<std::size_t>(record.k(), 1);
    const std::uint64_t shape[] = {x.n_rows, k};
    PyRef out = new_float64_array(shape);
    const std::span<double> proba = array_data<double>(out);
    run_unlocked([&](Interrupt* interrupt) {
      predict_forest(record.trees, x, k, proba, n_jobs, interrupt);
    });
    return out;
  });
}

/// predict_finite / predict_proba_finite: as predict and predict_proba, or
/// None when a cell of x (in any column) is infinite. A forest of one tree
/// looks for infinities while its rows are routed, with no pass of its own.
PyRef finite_predictions(const ForestRecord& record, PyObject* args, PyObject* kwargs, const char* function,
                         bool probabilities) {
  const auto [x, n_jobs] = prediction_input(args, kwargs, function, record);
  const std::size_t k = record.k();
  const std::size_t width = probabilities ? std::max<std::size_t>(k, 1) : 0;
  const std::uint64_t matrix[] = {x.n_rows, width};
  PyRef out = probabilities ? new_float64_array(matrix)
              : k == 0     ? new_float64_array(std::span<const std::uint64_t>(matrix, 1))
                           : new_int64_array(x.n_rows);
  bool done = true;
  run_unlocked([&](Interrupt* interrupt) {
    if (record.trees.size() == 1) {
      const RoutingTable& table = record.trees.front().table;
      const BatchOptions options{n_jobs, true};
      done = probabilities ? predict_probabilities(table, x, width, array_data<double>(out), options)
             : k == 0      ? predict_values(table, x, array_data<double>(out), options)
                           : predict_classes(table, x, array_data<std::int64_t>(out), options);
      return;
    }
    if (holds_infinity(x)) {
      done = false;
      return;
    }
    if (probabilities || k == 0) {
      predict_forest(record.trees, x, width, array_data<double>(out), n_jobs, interrupt);
      return;
    }
    if (record.votes()) {
      vote_forest(record.trees, x, k, array_data<std::int64_t>(out), n_jobs, interrupt);
      return;
    }
    std::vector<double> proba(x.n_rows * k);
    predict_forest(record.trees, x, k, proba, n_jobs, interrupt);
    classes_from_probabilities(proba, k, array_data<std::int64_t>(out));
  });
  return done ? std::move(out) : PyRef::borrowed(Py_None);
}

PyObject* forest_predict_finite(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    const SharedBorrow<ForestObject> borrow(self);
    return finite_predictions(borrow.get(), args, kwargs, "predict_finite", false);
  });
}

PyObject* forest_predict_proba_finite(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    const SharedBorrow<ForestObject> borrow(self);
    return finite_predictions(borrow.get(), args, kwargs, "predict_proba_finite", true);
  });
}

PyObject* forest_apply(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    const SharedBorrow<ForestObject> borrow(self);
    const ForestRecord& record = borrow.get();
    const auto [x, n_jobs] = prediction_input(args, kwargs, "apply", record);
    const std::uint64_t shape[] = {x.n_rows, record.trees.size()};
    PyRef out = new_int64_array(shape);
    const std::span<std::int64_t> leaves = array_data<std::int64_t>(out);
    run_unlocked([&](Interrupt* interrupt) {
      apply_forest(record.trees, x, leaves, n_jobs, interrupt);
    });
    return out;
  });
}

PyObject* forest_oob_prediction(PyObject* self, PyObject*) {
  return guarded([&]() -> PyRef {
    const SharedBorrow<ForestObject> borrow(self);
    const ForestRecord& record = borrow.get();
    if (!record.has_oob) return PyRef::borrowed(Py_None);
    const std::size_t width = std::max<std::size_t>(record.k(), 1);
    const std::uint64_t rows = record.oob_prediction.size() / width;
    const std::uint64_t matrix[] = {rows, width};
    const std::uint64_t vector[] = {rows};
    PyRef out = new_float64_array(record.k() == 0 ? std::span<const std::uint64_t>(vector)
                                                  : std::span<const std::uint64_t>(matrix));
    std::copy(record.oob_prediction.begin(), record.oob_prediction.end(), array_data<double>(out).begin());
    return out;
  });
}

PyObject* forest_take_in_bag(PyObject* self, PyObject*) {
  return guarded([&]() -> PyRef {
    const ExclusiveBorrow<ForestObject> borrow(self);
    ForestRecord& record = borrow.get();
    if (!record.has_in_bag || record.in_bag.empty()) return PyRef::borrowed(Py_None);
    PyRef out = uint64_array_of(record.in_bag);
    std::vector<std::uint64_t>().swap(record.in_bag);
    return out;
  });
}

PyObject* forest_take_oob_contributions(PyObject* self, PyObject*) {
  return guarded([&]() -> PyRef {
    const ExclusiveBorrow<ForestObject> borrow(self);
    ForestRecord& record = borrow.get();
    if (!record.has_oob_contributions) return PyRef::borrowed(Py_None);
    const std::uint64_t shape[] = {record.trees.size(), record.n_features};
    if (record.oob_contributions.size() != shape[0] * shape[1]) {
      throw InternalError("out-of-bag contributions of the wrong size");
    }
    PyRef out = new_float64_array(std::span<const std::uint64_t>(shape));
    std::copy(record.oob_contributions.begin(), record.oob_contributions.end(), array_data<double>(out).begin());
    std::vector<double>().swap(record.oob_contributions);
    record.has_oob_contributions = false;
    return out;
  });
}

PyObject* forest_n_trees(PyObject* self, PyObject*) {
  return guarded([&]() -> PyRef {
    const SharedBorrow<ForestObject> borrow(self);
    return py_uint(borrow.get().trees.size());
  });
}

/// The position of tree `index_object` in a fitted forest.
std::size_t tree_index(const ForestRecord& record, PyObject* index_object) {
  const std::uint64_t index = argument("index", index_object, to_u64);
  if (!record.is_fitted()) throw ValueError("estimator is not fitted");
  if (index >= record.trees.size()) {
    throw ValueError("tree index " + std::to_string(index) + " is not below the " +
                     std::to_string(record.trees.size()) + " trees");
  }
  return static_cast<std::size_t>(index);
}

/// Tree `index` of a fitted forest, the only argument of `function`.
const PackedTree& tree_at(const ForestRecord& record, PyObject* args, PyObject* kwargs, const char* function) {
  static const char* const names[] = {"index", nullptr};
  const std::vector<PyRef> values = parse_arguments(args, kwargs, function, names);
  return record.trees[tree_index(record, values[0].get())];
}

PyObject* forest_depth(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    const SharedBorrow<ForestObject> borrow(self);
    return py_uint(tree_depth(tree_at(borrow.get(), args, kwargs, "depth")));
  });
}

PyObject* forest_n_leaves(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    const SharedBorrow<ForestObject> borrow(self);
    return py_uint(tree_at(borrow.get(), args, kwargs, "n_leaves").table.n_leaves());
  });
}

PyObject* forest_root_report(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    static const char* const names[] = {"index", nullptr};
    const std::vector<PyRef> values = parse_arguments(args, kwargs, "root_report", names);
    const SharedBorrow<ForestObject> borrow(self);
    const ForestRecord& record = borrow.get();
    const std::size_t index = tree_index(record, values[0].get());
    if (index >= record.roots.size()) return PyRef::borrowed(Py_None);
    const RootReport& root = record.roots[index];
    PyRef out = checked(PyDict_New());
    set_item(out, "searched", py_bool(root.searched));
    set_item(out, "scored", py_bool(root.scored));
    set_item(out, "unstorable", py_bool(root.unstorable));
    set_item(out, "n_samples", py_uint(root.n_samples));
    set_item(out, "n_folds", py_uint(root.n_folds));
    return out;
  });
}

PyObject* forest_decision_path(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    static const char* const names[] = {"x", "index", "n_jobs", nullptr};
    const std::vector<PyRef> values = parse_arguments(args, kwargs, "decision_path", names);
    const SharedBorrow<ForestObject> borrow(self);
    const ForestRecord& record = borrow.get();
    const MatrixView x = float64_matrix(values[0].get(), "x");
    const std::size_t index = tree_index(record, values[1].get());
    const std::uint64_t n_jobs = std::max<std::uint64_t>(1, argument("n_jobs", values[2].get(), to_u64));
    const PackedTree& packed = record.trees[index];
    if (x.n_rows > 0 && x.n_cols < packed.table.columns_needed()) {
      throw ValueError("x has " + std::to_string(x.n_cols) + " columns, but the tree splits on column " +
                       std::to_string(packed.table.columns_needed() - 1));
    }
    DecisionPaths paths;
    run_unlocked([&](Interrupt*) {
      paths = decision_paths(unpack_tree(packed, record.settings.categorical), packed.table, x, n_jobs);
    });
    return py_pair(int64_array_of(paths.indptr), int64_array_of(paths.indices));
  });
}

PyObject* forest_tree(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    const SharedBorrow<ForestObject> borrow(self);
    const ForestRecord& record = borrow.get();
    static const char* const names[] = {"index", nullptr};
    const std::vector<PyRef> values = parse_arguments(args, kwargs, "tree", names);
    const std::size_t index = tree_index(record, values[0].get());
    ForestRecord one;
    one.settings = record.settings;
    one.options = record.options;
    one.trees.push_back(record.trees[index]);
    return wrap(Py_TYPE(self), std::move(one));
  });
}

PyObject* forest_export_tree(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    const SharedBorrow<ForestObject> borrow(self);
    const ForestRecord& record = borrow.get();
    const Tree tree = unpack_tree(tree_at(record, args, kwargs, "export_tree"), record.settings.categorical);
    return tree_dump_dict(tree, record.settings.is_classifier(), record.settings.n_classes());
  });
}

PyObject* forest_split_scores(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    const SharedBorrow<ForestObject> borrow(self);
    const ForestRecord& record = borrow.get();
    const PackedTree& packed = tree_at(record, args, kwargs, "split_scores");
    return float64_array_of(split_scores(unpack_tree(packed, record.settings.categorical)));
  });
}

// ---- the arrays of a pickle ----

PyObject* forest_export_arrays(PyObject* self, PyObject*) {
  return guarded([&]() -> PyRef {
    const SharedBorrow<ForestObject> borrow(self);
    const ForestRecord& record = borrow.get();
    if (!record.is_fitted()) throw ValueError("estimator is not fitted");
    const std::uint64_t n_classes = record.k();
    const ForestDump dump = dump_forest(record.trees, record.settings.categorical, n_classes);
    PyRef dict = checked(PyDict_New());
    set_item(dict, "node_offsets", int64_array_of(dump.node_offsets));
    set_item(dict, "is_leaf", bool_array_of(dump.is_leaf));
    set_item(dict, "children_left", int32_array_of(dump.children_left));
    set_item(dict, "children_right", int32_array_of(dump.children_right));
    set_item(dict, "feature", int32_array_of(dump.feature));
    set_item(dict, "is_categorical", bool_array_of(dump.is_categorical));
    set_item(dict, "lower", float64_array_of(dump.lower));
    set_item(dict, "upper", float64_array_of(dump.upper));
    set_item(dict, "category", int64_array_of(dump.category));
    set_item(dict, "n_samples", int64_array_of(dump.n_samples));
    set_item(dict, "split_score", float64_array_of(dump.split_score));
    set_item(dict, "node_weight", float64_array_of(dump.node_weight));
    set_item(dict, "missing_left", bool_array_of(dump.missing_left));
    if (!dump.held_out_count.empty()) {
      set_item(dict, "held_out_count", int32_array_of(dump.held_out_count));
      set_item(dict, "held_out_feature", int32_array_of(dump.held_out_feature));
      set_item(dict, "held_out_score", float64_array_of(dump.held_out_score));
    }
    set_item(dict, "set_offsets", int64_array_of(dump.set_offsets));
    set_item(dict, "set_words", uint64_array_of(dump.set_words));
    if (n_classes == 0) {
      set_item(dict, "leaf_value", float64_array_of(dump.leaf_value));
      return dict;
    }
    set_item(dict, "leaf_class", int32_array_of(dump.leaf_class));
    const std::uint64_t shape[] = {dump.leaf_class.size(), n_classes};
    PyRef proba = new_float64_array(shape);
    std::copy(dump.leaf_proba.begin(), dump.leaf_proba.end(), array_data<double>(proba).begin());
    set_item(dict, "leaf_proba", std::move(proba));
    return dict;
  });
}

/// The array `key` of `arrays`, copied through `view(object, name)`.
template <class View>
auto array_entry(PyObject* arrays, const char* key, View view) {
  const PyRef name = checked(PyUnicode_FromString(key));
  PyObject* value = PyDict_GetItemWithError(arrays, name.get());
  if (value == nullptr) {
    if (PyErr_Occurred()) throw ErrorAlreadySet{};
    throw ValueError("forest dump: missing array " + quoted(key));
  }
  const PyRef kept = PyRef::borrowed(value);
  const auto values = view(kept.get(), key);
  std::vector<std::remove_cv_t<decltype(values.at(0))>> out(values.size);
  for (std::size_t i = 0; i < values.size; ++i) out[i] = values.at(i);
  return out;
}

bool has_array(PyObject* arrays, const char* key) {
  const PyRef name = checked(PyUnicode_FromString(key));
  if (PyDict_GetItemWithError(arrays, name.get()) != nullptr) return true;
  if (PyErr_Occurred()) throw ErrorAlreadySet{};
  return false;
}

PyObject* forest_from_arrays(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    static const char* const names[] = {"kind", "settings", "arrays", nullptr};
    const std::vector<PyRef> values = parse_arguments(args, kwargs, "from_arrays", names);
    ForestRecord record = build_record(values[0].get(), values[1].get());
    PyObject* arrays = argument("arrays", values[2].get(), to_dict);
    const std::uint64_t n_classes = record.k();
    ForestDump dump;
    dump.node_offsets = array_entry(arrays, "node_offsets", int64_vector);
    dump.is_leaf = array_entry(arrays, "is_leaf", bool_vector);
    dump.children_left = array_entry(arrays, "children_left", int32_vector);
    dump.children_right = array_entry(arrays, "children_right", int32_vector);
    dump.feature = array_entry(arrays, "feature", int32_vector);
    dump.is_categorical = array_entry(arrays, "is_categorical", bool_vector);
    dump.lower = array_entry(arrays, "lower", float64_vector);
    dump.upper = array_entry(arrays, "upper", float64_vector);
    dump.category = array_entry(arrays, "category", int64_vector);
    dump.n_samples = array_entry(arrays, "n_samples", int64_vector);
    dump.split_score = array_entry(arrays, "split_score", float64_vector);
    // Arrays saved before weights have no node weights: each node weighs its n_samples.
    if (has_array(arrays, "node_weight")) dump.node_weight = array_entry(arrays, "node_weight", float64_vector);
    // Arrays saved before learned missing sides: every split sends them right.
    if (has_array(arrays, "missing_left")) dump.missing_left = array_entry(arrays, "missing_left", bool_vector);
    // Arrays of trees grown without held-out credits (before them) have none.
    if (has_array(arrays, "held_out_count")) {
      dump.held_out_count = array_entry(arrays, "held_out_count", int32_vector);
      dump.held_out_feature = array_entry(arrays, "held_out_feature", int32_vector);
      dump.held_out_score = array_entry(arrays, "held_out_score", float64_vector);
    }
    // Arrays saved before set splits: every category split tests one category.
    if (has_array(arrays, "set_offsets")) dump.set_offsets = array_entry(arrays, "set_offsets", int64_vector);
    if (has_array(arrays, "set_words")) dump.set_words = array_entry(arrays, "set_words", uint64_vector);
    if (n_classes == 0) {
      dump.leaf_value = array_entry(arrays, "leaf_value", float64_vector);
    } else {
      dump.leaf_class = array_entry(arrays, "leaf_class", int32_vector);
      const PyRef key = checked(PyUnicode_FromString("leaf_proba"));
      PyObject* proba = PyDict_GetItemWithError(arrays, key.get());
      if (proba == nullptr) {
        if (PyErr_Occurred()) throw ErrorAlreadySet{};
        throw ValueError("forest dump: missing array \"leaf_proba\"");
      }
      const PyRef kept = PyRef::borrowed(proba);
      const MatrixView matrix = float64_matrix(kept.get(), "leaf_proba");
      if (matrix.n_cols != n_classes) throw ValueError("forest dump: leaf_proba has the wrong number of classes");
      dump.leaf_proba.resize(matrix.n_rows * matrix.n_cols);
      for (std::size_t r = 0; r < matrix.n_rows; ++r) {
        for (std::size_t c = 0; c < matrix.n_cols; ++c) dump.leaf_proba[r * n_classes + c] = matrix.at(r, c);
      }
    }
    record.trees = rebuild_forest(dump, n_classes, record.settings.categorical, !record.votes());
    dump = ForestDump{};
    return_free_memory();
    return wrap(g_forest_type, std::move(record));
  });
}

// ---- the class ----

template <class F>
PyCFunction as_cfunction(F* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kArgs = METH_VARARGS | METH_KEYWORDS;

PyMethodDef kForestMethods[] = {
    {"fit", as_cfunction(forest_fit), kArgs,
     "fit($self, x, y, seeds, n_jobs, oob, progress, sample_weight=None, balanced_subsample=False,\n"
     "    in_bag=False, oob_importances=False)\n--\n\n"
     "Grow one tree per seed on `n_jobs` threads, with the interpreter lock\n"
     "released; `progress` (None or a callable) is called with the number of\n"
     "finished trees. Ctrl-C stops the fit, leaving the forest as it was.\n"
     "`sample_weight` (None or a 1-D array of numbers, one per row, finite and\n"
     "non-negative, not all zero) weighs every sum a score or leaf reads; rows\n"
     "of weight 0 are left out (their out-of-bag prediction is NaN).\n"
     "`balanced_subsample` (classification): each tree also multiplies its\n"
     "drawn rows' weights by n_drawn / (n_classes_drawn * n_drawn_of_the_class).\n"
     "`in_bag` (or `oob`) keeps each tree's drawn rows for `take_in_bag`.\n"
     "`oob_importances` measures each tree's splits on the rows it did not\n"
     "draw, as it is grown, for `take_oob_contributions`."},
    {"predict", as_cfunction(forest_predict), kArgs,
     "predict($self, x, n_jobs)\n--\n\n"
     "Mean of the trees' values (regression) or the class of the largest mean\n"
     "probability (classification, the lowest class on ties)."},
    {"predict_proba", as_cfunction(forest_predict_proba), kArgs,
     "predict_proba($self, x, n_jobs)\n--\n\nMean of the trees' class probabilities."},
    {"apply", as_cfunction(forest_apply), kArgs,
     "apply($self, x, n_jobs)\n--\n\n"
     "The leaf each row reaches in each tree (pre-order index), n_rows x n_trees."},
    {"oob_prediction", forest_oob_prediction, METH_NOARGS,
     "oob_prediction($self)\n--\n\n"
     "Per training row, the mean prediction of the trees that did not see it\n"
     "(NaN where every tree saw it); None unless fitted with oob."},
    {"take_in_bag", forest_take_in_bag, METH_NOARGS,
     "take_in_bag($self)\n--\n\n"
     "Per tree, the rows it was grown on as bits over the training rows: a\n"
     "flat uint64 array of n_trees * ceil(n_rows / 64) words, row r at bit\n"
     "r % 64 of its tree's word r // 64. Returned once after a fit with oob\n"
     "or in_bag (and forgotten), None otherwise."},
    {"take_oob_contributions", forest_take_oob_contributions, METH_NOARGS,
     "take_oob_contributions($self)\n--\n\n"
     "Per tree and feature (float64, n_trees x n_features), the weighted\n"
     "squared error (Brier score for classes) of the rows the tree did not\n"
     "draw against each split's prediction less against its children's,\n"
     "summed over the feature's splits, over the tree's unseen weight (0 for a\n"
     "tree that drew every row). Returned once after a fit with\n"
     "oob_importances (and forgotten), None otherwise."},
    {"predict_finite", as_cfunction(forest_predict_finite), kArgs,
     "predict_finite($self, x, n_jobs)\n--\n\n"
     "As `predict`, or None when a value of `x` (in any column) is infinite."},
    {"predict_proba_finite", as_cfunction(forest_predict_proba_finite), kArgs,
     "predict_proba_finite($self, x, n_jobs)\n--\n\n"
     "As `predict_proba`, or None when a value of `x` (in any column) is infinite."},
    {"n_trees", forest_n_trees, METH_NOARGS, "n_trees($self)\n--\n\nNumber of fitted trees."},
    {"depth", as_cfunction(forest_depth), kArgs,
     "depth($self, index)\n--\n\nThe depth of tree `index`: splits on its longest path."},
    {"n_leaves", as_cfunction(forest_n_leaves), kArgs, "n_leaves($self, index)\n--\n\nLeaves of tree `index`."},
    {"root_report", as_cfunction(forest_root_report), kArgs,
     "root_report($self, index)\n--\n\n"
     "How the root of tree `index` ended, as a dict: searched (it passed the\n"
     "stopping rules), scored (some candidate got a finite score), n_samples and\n"
     "n_folds; None for a forest that was loaded rather than fitted."},
    {"decision_path", as_cfunction(forest_decision_path), kArgs,
     "decision_path($self, x, index, n_jobs)\n--\n\n"
     "The nodes each row passes in tree `index`, root first, as `(indptr, indices)`\n"
     "(pre-order node indices, compressed rows)."},
    {"tree", as_cfunction(forest_tree), kArgs,
     "tree($self, index)\n--\n\nA forest of tree `index` alone, with this forest's settings."},
    {"export_tree", as_cfunction(forest_export_tree), kArgs,
     "export_tree($self, index)\n--\n\nTree `index` as the raw classes' export_tree dump."},
    {"split_scores", as_cfunction(forest_split_scores), kArgs,
     "split_scores($self, index)\n--\n\nThe split scores of tree `index`, in pre-order."},
    {"export_arrays", forest_export_arrays, METH_NOARGS,
     "export_arrays($self)\n--\n\nThe fitted trees as a dict of flat NumPy arrays."},
    {"from_arrays", as_cfunction(forest_from_arrays), kArgs | METH_STATIC,
     "from_arrays(kind, settings, arrays)\n--\n\n"
     "A fitted forest from the settings and the arrays of `export_arrays`."},
    {nullptr, nullptr, 0, nullptr}};

constexpr const char kForestDoc[] =
    "RawForest(kind, settings)\n--\n\n"
    "Native forest of cross-validated trees. `kind` is \"regressor\",\n"
    "\"classifier\" or \"objective_classifier\"; `settings` holds the keyword\n"
    "arguments of the raw class of that kind except parallel, n_threads and\n"
    "parallel_min_samples, and max_features (0: all) and max_samples (0: all;\n"
    "rows drawn without replacement), and optionally min_weight_fraction_leaf\n"
    "(in [0, 0.5], default 0: the least share of the tree's weight a child holds)\n"
    "and max_thresholds (fast mode; default 0, every one: the candidate\n"
    "thresholds each node scores per continuous feature, drawn from the\n"
    "node's key among the codes its rows hold). A node whose drawn features give no\n"
    "finite score scores the others. The keys sampling (\"subsample\") and\n"
    "score_other_features (True) of forests saved before are taken with those\n"
    "values only.";

}  // namespace

PyRef create_forest_type() {
  static PyType_Slot slots[] = {{Py_tp_new, reinterpret_cast<void*>(forest_new)},
                                {Py_tp_dealloc, reinterpret_cast<void*>(forest_dealloc)},
                                {Py_tp_doc, const_cast<char*>(kForestDoc)},
                                {Py_tp_methods, kForestMethods},
                                {0, nullptr}};
  static PyType_Spec spec = {"builtins.RawForest", sizeof(ForestObject), 0, Py_TPFLAGS_DEFAULT, slots};
  PyRef type = checked(PyType_FromSpec(&spec));
  Py_XDECREF(reinterpret_cast<PyObject*>(g_forest_type));
  g_forest_type = reinterpret_cast<PyTypeObject*>(PyRef::borrowed(type.get()).release());
  return type;
}

}  // namespace quor::py
