#include "estimators.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "borrow.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "guard.hpp"
#include "interrupt.hpp"
#include "tree_dump.hpp"

namespace quor::py {

namespace {

struct EstimatorObject {
  PyObject_HEAD
  Estimator* record;  // owned
  // Calls in progress: > 0 shared ones, -1 one `fit`.
  long borrows;
};

/// Per task type: the Python class, its name and its constructor arguments.
template <class T>
struct ClassOf;
template <>
struct ClassOf<RegressionTask> {
  static constexpr const char* name = "RawRegressor";
  static constexpr const char* arguments[] = {
      "criterion", "max_depth", "min_samples_split", "min_samples_leaf", "min_impurity_decrease",
      "n_bins", "cv_folds", "cv_seed", "cv_shuffle", "mode", "split_style", "aggregator",
      "agg_frac", "agg_eps", "agg_lambda", "parallel", "n_threads", "parallel_min_samples",
      "categorical", nullptr};
  static inline PyTypeObject* type = nullptr;
};
template <>
struct ClassOf<ClassificationTask> {
  static constexpr const char* name = "RawClassifier";
  static constexpr const char* arguments[] = {
      "n_classes", "criterion", "max_depth", "min_samples_split", "min_samples_leaf",
      "min_impurity_decrease", "n_bins", "cv_folds", "cv_seed", "cv_shuffle", "mode",
      "split_style", "aggregator", "agg_frac", "agg_eps", "agg_lambda", "parallel", "n_threads",
      "parallel_min_samples", "categorical", nullptr};
  static inline PyTypeObject* type = nullptr;
};
template <>
struct ClassOf<ObjectiveTask> {
  static constexpr const char* name = "RawObjectiveClassifier";
  static constexpr const char* arguments[] = {
      "n_classes", "objective", "average", "pos_label", "beta", "max_depth", "min_samples_split",
      "min_samples_leaf", "min_impurity_decrease", "n_bins", "cv_folds", "cv_seed", "cv_shuffle",
      "mode", "split_style", "aggregator", "agg_frac", "agg_eps", "agg_lambda", "parallel",
      "n_threads", "parallel_min_samples", "categorical", nullptr};
  static inline PyTypeObject* type = nullptr;
};

EstimatorObject* as_estimator(PyObject* self) { return reinterpret_cast<EstimatorObject*>(self); }

using SharedBorrow = py::SharedBorrow<EstimatorObject>;
using ExclusiveBorrow = py::ExclusiveBorrow<EstimatorObject>;

/// A new instance of `type` owning `estimator`.
PyRef wrap(PyTypeObject* type, Estimator estimator) {
  auto record = std::make_unique<Estimator>(std::move(estimator));
  const auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyRef object = checked(alloc(type, 0));
  as_estimator(object.get())->record = record.release();
  as_estimator(object.get())->borrows = 0;
  return object;
}

void estimator_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_estimator(self)->record;
  const auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DECREF(type);  // instances of heap types hold a reference to their type
}

// ---- construction ----

}  // namespace

void convert_option(SettingsOptions& options, const char* name, PyObject* value) {
  const std::string_view field = name;
  TreeConfig& config = options.config;
  const auto u64 = [&] { return argument(name, value, to_u64); };
  const auto f64 = [&] { return argument(name, value, to_f64); };
  const auto flag = [&] { return argument(name, value, to_bool); };
  const auto text = [&] { return argument(name, value, to_string); };
  if (field == "n_classes") options.n_classes = u64();
  else if (field == "criterion") options.criterion = text();
  else if (field == "objective") options.objective = text();
  else if (field == "average") options.average = text();
  else if (field == "pos_label") options.pos_label = u64();
  else if (field == "beta") options.beta = f64();
  else if (field == "objective_labels") options.objective_labels = text();
  else if (field == "max_depth") {
    // The one argument that takes None: no depth limit.
    if (value == Py_None) config.max_depth.reset();
    else config.max_depth = u64();
  } else if (field == "min_samples_split") config.min_samples_split = u64();
  else if (field == "min_samples_leaf") config.min_samples_leaf = u64();
  else if (field == "min_impurity_decrease") config.min_impurity_decrease = f64();
  else if (field == "n_bins") config.n_bins = u64();
  else if (field == "cv_folds") config.cv_folds = u64();
  else if (field == "cv_seed") config.cv_seed = u64();
  else if (field == "cv_shuffle") config.cv_shuffle = flag();
  else if (field == "mode") options.mode = text();
  else if (field == "split_style") options.split_style = text();
  else if (field == "aggregator") options.aggregator = text();
  else if (field == "agg_frac") options.agg_frac = f64();
  else if (field == "agg_eps") options.agg_eps = f64();
  else if (field == "agg_lambda") options.agg_lambda = f64();
  else if (field == "parallel") config.parallel = flag();
  else if (field == "n_threads") config.n_threads = u64();
  else if (field == "parallel_min_samples") config.parallel_min_samples = u64();
  else if (field == "categorical") options.categorical = argument(name, value, to_index_list);
  else throw InternalError("no conversion for constructor argument " + std::string(field));
}

template <class T>
const char* const* constructor_arguments() {
  return ClassOf<T>::arguments;
}

template const char* const* constructor_arguments<RegressionTask>();
template const char* const* constructor_arguments<ClassificationTask>();
template const char* const* constructor_arguments<ObjectiveTask>();

namespace {

template <class T>
PyObject* estimator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    const char* const* names = ClassOf<T>::arguments;
    const std::vector<PyRef> values = parse_arguments(args, kwargs, ClassOf<T>::name, names);
    SettingsOptions options;
    for (std::size_t i = 0; i < values.size(); ++i) convert_option(options, names[i], values[i].get());
    return wrap(type, Estimator{build_settings<T>(options), std::nullopt, {}});
  });
}

// ---- fit, predict and inspection ----

PyObject* method_fit(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    static const char* const names[] = {"x", "y", nullptr};
    const std::vector<PyRef> values = parse_arguments(args, kwargs, "fit", names);
    const ExclusiveBorrow borrow(self);
    Estimator& estimator = borrow.get();
    const MatrixView x = float64_matrix(values[0].get(), "x");
    Targets targets;
    if (estimator.is_classifier()) {
      targets = classification_targets(int64_vector(values[1].get(), "y"));
    } else {
      targets = regression_targets(float64_vector(values[1].get(), "y"));
    }
    // Ctrl-C is noticed while the tree grows, with the lock held: the raw
    // classes never release it.
    Interrupt interrupt([] { return PyErr_CheckSignals() != 0; });
    fit_estimator(estimator, x, std::move(targets), &interrupt);
    return PyRef::borrowed(Py_None);
  });
}

/// The matrix argument of predict / predict_proba; the input is checked before
/// the fitted state.
MatrixView prediction_input(PyObject* args, PyObject* kwargs, const char* function,
                            const Estimator& estimator) {
  static const char* const names[] = {"x", nullptr};
  const std::vector<PyRef> values = parse_arguments(args, kwargs, function, names);
  const MatrixView x = float64_matrix(values[0].get(), "x");
  if (!estimator.is_fitted()) throw ValueError("estimator is not fitted");
  return x;  // the array stays alive in the call's arguments
}

/// The predictions of `predict` (leaf values, or classes for classifiers);
/// None when `options` refused an infinite value of x.
PyRef predictions(const Estimator& estimator, const MatrixView& x, const BatchOptions& options) {
  PyRef out = estimator.is_classifier() ? new_int64_array(x.n_rows)
                                        : new_float64_array(std::array<std::uint64_t, 1>{x.n_rows});
  const bool done = estimator.is_classifier()
                        ? predict_classes(estimator.routing, x, array_data<std::int64_t>(out), options)
                        : predict_values(estimator.routing, x, array_data<double>(out), options);
  return done ? std::move(out) : PyRef::borrowed(Py_None);
}

/// The n_rows × K probabilities of `predict_proba`; None as above.
PyRef probabilities(const Estimator& estimator, const MatrixView& x, const BatchOptions& options) {
  const std::uint64_t k = std::max<std::uint64_t>(estimator.n_classes(), 1);
  const std::uint64_t shape[] = {x.n_rows, k};
  PyRef out = new_float64_array(shape);
  const bool done = predict_probabilities(estimator.routing, x, k, array_data<double>(out), options);
  return done ? std::move(out) : PyRef::borrowed(Py_None);
}

PyObject* method_predict(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    const SharedBorrow borrow(self);
    const Estimator& estimator = borrow.get();
    const MatrixView x = prediction_input(args, kwargs, "predict", estimator);
    return predictions(estimator, x, {estimator.settings.prediction_threads()});
  });
}

PyObject* method_predict_proba(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    const SharedBorrow borrow(self);
    const Estimator& estimator = borrow.get();
    const MatrixView x = prediction_input(args, kwargs, "predict_proba", estimator);
    return probabilities(estimator, x, {estimator.settings.prediction_threads()});
  });
}

/// The arguments of predict_finite / predict_proba_finite, checked in order.
struct FiniteInput {
  MatrixView x;
  BatchOptions options;
};

FiniteInput finite_input(PyObject* args, PyObject* kwargs, const char* function,
                         const Estimator& estimator) {
  static const char* const names[] = {"x", "n_threads", nullptr};
  const std::vector<PyRef> values = parse_arguments(args, kwargs, function, names);
  const MatrixView x = float64_matrix(values[0].get(), "x");
  const std::uint64_t n_threads = argument("n_threads", values[1].get(), to_u64);
  if (!estimator.is_fitted()) throw ValueError("estimator is not fitted");
  return {x, {n_threads, true}};
}

PyObject* method_predict_finite(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    const SharedBorrow borrow(self);
    const Estimator& estimator = borrow.get();
    const FiniteInput input = finite_input(args, kwargs, "predict_finite", estimator);
    return predictions(estimator, input.x, input.options);
  });
}

PyObject* method_predict_proba_finite(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    const SharedBorrow borrow(self);
    const Estimator& estimator = borrow.get();
    const FiniteInput input = finite_input(args, kwargs, "predict_proba_finite", estimator);
    return probabilities(estimator, input.x, input.options);
  });
}

PyObject* method_apply(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    const SharedBorrow borrow(self);
    const Estimator& estimator = borrow.get();
    const MatrixView x = prediction_input(args, kwargs, "apply", estimator);
    PyRef out = new_int64_array(x.n_rows);
    apply_rows(estimator.routing, x, array_data<std::int64_t>(out), {estimator.settings.prediction_threads()});
    return out;
  });
}

PyObject* method_decision_path(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    const SharedBorrow borrow(self);
    const Estimator& estimator = borrow.get();
    const MatrixView x = prediction_input(args, kwargs, "decision_path", estimator);
    const DecisionPaths paths =
        decision_paths(*estimator.tree, estimator.routing, x, estimator.settings.prediction_threads());
    return py_pair(int64_array_of(paths.indptr), int64_array_of(paths.indices));
  });
}

PyObject* method_split_scores(PyObject* self, PyObject*) {
  return guarded([&]() -> PyRef {
    const SharedBorrow borrow(self);
    const Estimator& estimator = borrow.get();
    if (!estimator.is_fitted()) throw ValueError("estimator is not fitted");
    return float64_array_of(split_scores(*estimator.tree));
  });
}

PyObject* method_depth(PyObject* self, PyObject*) {
  return guarded([&]() -> PyRef {
    const SharedBorrow borrow(self);
    const Estimator& estimator = borrow.get();
    return py_uint(estimator.is_fitted() ? tree_depth(*estimator.tree) : 0);
  });
}

PyObject* method_n_leaves(PyObject* self, PyObject*) {
  return guarded([&]() -> PyRef {
    const SharedBorrow borrow(self);
    const Estimator& estimator = borrow.get();
    return py_uint(estimator.is_fitted() ? leaf_count(*estimator.tree) : 0);
  });
}

// ---- export and import ----

void set_item(const PyRef& dict, const char* key, PyRef value) {
  check_status(PyDict_SetItemString(dict.get(), key, value.get()));
}

}  // namespace

PyRef tree_dump_dict(const Tree& tree, bool classification, std::uint64_t n_classes) {
  const std::vector<FlatNode> flat = flatten_tree(tree);
  const std::span<const FlatNode> nodes = flat;
  const auto column = [&](auto field) { return py_list<FlatNode>(nodes, field); };

  PyRef dict = checked(PyDict_New());
  set_item(dict, "node_count", py_uint(flat.size()));
  set_item(dict, "is_leaf", column([](const FlatNode& n) { return py_bool(n.is_leaf); }));
  set_item(dict, "children_left", column([](const FlatNode& n) { return py_int(n.children_left); }));
  set_item(dict, "children_right", column([](const FlatNode& n) { return py_int(n.children_right); }));
  set_item(dict, "feature", column([](const FlatNode& n) { return py_int(n.feature); }));
  set_item(dict, "is_categorical", column([](const FlatNode& n) { return py_bool(n.is_categorical); }));
  set_item(dict, "lower", column([](const FlatNode& n) { return py_float(n.lower); }));
  set_item(dict, "upper", column([](const FlatNode& n) { return py_float(n.upper); }));
  set_item(dict, "category", column([](const FlatNode& n) { return py_int(n.category); }));
  set_item(dict, "n_samples", column([](const FlatNode& n) { return py_uint(n.n_samples); }));
  if (!classification) {
    set_item(dict, "value", column([](const FlatNode& n) { return py_float(n.value); }));
    return dict;
  }
  set_item(dict, "predicted_class", column([](const FlatNode& n) { return py_int(n.predicted_class); }));
  set_item(dict, "proba", column([](const FlatNode& n) { return py_list<double>(n.proba, py_float); }));
  set_item(dict, "n_classes", py_uint(n_classes));
  return dict;
}

namespace {

PyObject* method_export_tree(PyObject* self, PyObject*) {
  return guarded([&]() -> PyRef {
    const SharedBorrow borrow(self);
    const Estimator& estimator = borrow.get();
    if (!estimator.is_fitted()) throw ValueError("estimator is not fitted");
    return tree_dump_dict(*estimator.tree, estimator.is_classifier(), estimator.n_classes());
  });
}

/// A new reference to `key`'s value in the dump.
PyRef dump_entry(PyObject* dump, const char* key) {
  const PyRef name = checked(PyUnicode_FromString(key));
  PyObject* value = PyDict_GetItemWithError(dump, name.get());
  if (value == nullptr) {
    if (PyErr_Occurred()) throw ErrorAlreadySet{};
    throw ValueError("tree state missing key " + quoted(key));
  }
  return PyRef::borrowed(value);
}

template <class T, class Convert>
std::vector<T> dump_list(PyObject* dump, const char* key, Convert convert) {
  const PyRef list = dump_entry(dump, key);
  return to_vector<T>(list.get(), convert);
}

/// The dump's lists, read in their fixed order; classifiers read the class
/// and probability lists, the regressor the values.
TreeDump read_dump(PyObject* dict, bool classification) {
  TreeDump dump;
  dump.is_leaf = dump_list<std::uint8_t>(dict, "is_leaf", to_bool);
  dump.children_left = dump_list<std::int64_t>(dict, "children_left", to_i64);
  dump.children_right = dump_list<std::int64_t>(dict, "children_right", to_i64);
  dump.feature = dump_list<std::int64_t>(dict, "feature", to_i64);
  dump.is_categorical = dump_list<std::uint8_t>(dict, "is_categorical", to_bool);
  dump.lower = dump_list<double>(dict, "lower", to_f64);
  dump.upper = dump_list<double>(dict, "upper", to_f64);
  dump.category = dump_list<std::int64_t>(dict, "category", to_i64);
  dump.n_samples = dump_list<std::uint64_t>(dict, "n_samples", to_u64);
  if (dump.is_leaf.empty()) throw ValueError("tree state has no nodes");
  if (!classification) {
    dump.value = dump_list<double>(dict, "value", to_f64);
    return dump;
  }
  dump.predicted_class = dump_list<std::int64_t>(dict, "predicted_class", to_i64);
  const PyRef proba = dump_entry(dict, "proba");
  dump.proba_offsets.push_back(0);
  for_each_item(proba.get(), [&](PyObject* row) {
    for_each_item(row, [&](PyObject* p) { dump.probas.push_back(to_f64(p)); });
    dump.proba_offsets.push_back(dump.probas.size());
  });
  return dump;
}

template <class T>
PyObject* method_from_tree(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyRef {
    static const char* const regressor_names[] = {"tree", "categorical", nullptr};
    static const char* const classifier_names[] = {"tree", "n_classes", "categorical", nullptr};
    constexpr bool classification = !std::is_same_v<T, RegressionTask>;
    const std::vector<PyRef> values = parse_arguments(
        args, kwargs, "from_tree", classification ? classifier_names : regressor_names);
    PyObject* tree = argument("tree", values[0].get(), to_dict);
    const std::uint64_t n_classes =
        classification ? argument("n_classes", values[1].get(), to_u64) : 0;
    const std::vector<std::uint64_t> categorical =
        argument("categorical", values.back().get(), to_index_list);
    const TreeDump dump = read_dump(tree, classification);
    Tree rebuilt = rebuild_tree(dump, classification);
    return wrap(ClassOf<T>::type, rebuilt_estimator<T>(n_classes, categorical, std::move(rebuilt)));
  });
}

// ---- the classes ----

template <class F>
PyCFunction as_cfunction(F* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kArgs = METH_VARARGS | METH_KEYWORDS;

constexpr const char kApplyDoc[] =
    "apply($self, x)\n--\n\n"
    "The index of the leaf each row of `x` reaches, in the pre-order of\n"
    "`export_tree` (a new int64 array). Rows are routed as by `predict`.";
constexpr const char kDecisionPathDoc[] =
    "decision_path($self, x)\n--\n\n"
    "The nodes each row of `x` passes, as a tuple `(indptr, indices)` of new\n"
    "int64 arrays: row r passes `indices[indptr[r]:indptr[r + 1]]`, root first\n"
    "and leaf last, as indices in the pre-order of `export_tree`.";
constexpr const char kPredictFiniteDoc[] =
    "predict_finite($self, x, n_threads)\n--\n\n"
    "As `predict`, routing a large `x` on up to `n_threads` threads, or None\n"
    "when a value of `x` (in any column) is infinite.";
constexpr const char kPredictProbaFiniteDoc[] =
    "predict_proba_finite($self, x, n_threads)\n--\n\n"
    "As `predict_proba`, routing a large `x` on up to `n_threads` threads, or\n"
    "None when a value of `x` (in any column) is infinite.";
constexpr const char kSplitScoresDoc[] =
    "split_scores($self)\n--\n\n"
    "The aggregated cross-validated score with which each split node won, in\n"
    "the pre-order of `export_tree` (a new float64 array); NaN at leaves and\n"
    "for every node of a tree rebuilt by `from_tree`.";

PyMethodDef kRegressorMethods[] = {
    {"fit", as_cfunction(method_fit), kArgs, "fit($self, x, y)\n--\n\n"},
    {"predict", as_cfunction(method_predict), kArgs, "predict($self, x)\n--\n\n"},
    {"predict_finite", as_cfunction(method_predict_finite), kArgs, kPredictFiniteDoc},
    {"apply", as_cfunction(method_apply), kArgs, kApplyDoc},
    {"decision_path", as_cfunction(method_decision_path), kArgs, kDecisionPathDoc},
    {"split_scores", method_split_scores, METH_NOARGS, kSplitScoresDoc},
    {"depth", method_depth, METH_NOARGS, "depth($self)\n--\n\n"},
    {"n_leaves", method_n_leaves, METH_NOARGS, "n_leaves($self)\n--\n\n"},
    {"export_tree", method_export_tree, METH_NOARGS, "export_tree($self)\n--\n\n"},
    {"from_tree", as_cfunction(method_from_tree<RegressionTask>), kArgs | METH_STATIC,
     "from_tree(tree, categorical)\n--\n\n"
     "Rebuild a fitted regressor from an `export_tree` dump (used to unpickle)."},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef kClassifierMethods[] = {
    {"fit", as_cfunction(method_fit), kArgs, "fit($self, x, y)\n--\n\n"},
    {"predict", as_cfunction(method_predict), kArgs, "predict($self, x)\n--\n\n"},
    {"predict_proba", as_cfunction(method_predict_proba), kArgs, "predict_proba($self, x)\n--\n\n"},
    {"predict_finite", as_cfunction(method_predict_finite), kArgs, kPredictFiniteDoc},
    {"predict_proba_finite", as_cfunction(method_predict_proba_finite), kArgs,
     kPredictProbaFiniteDoc},
    {"apply", as_cfunction(method_apply), kArgs, kApplyDoc},
    {"decision_path", as_cfunction(method_decision_path), kArgs, kDecisionPathDoc},
    {"split_scores", method_split_scores, METH_NOARGS, kSplitScoresDoc},
    {"depth", method_depth, METH_NOARGS, "depth($self)\n--\n\n"},
    {"n_leaves", method_n_leaves, METH_NOARGS, "n_leaves($self)\n--\n\n"},
    {"export_tree", method_export_tree, METH_NOARGS, "export_tree($self)\n--\n\n"},
    {"from_tree", as_cfunction(method_from_tree<ClassificationTask>), kArgs | METH_STATIC,
     "from_tree(tree, n_classes, categorical)\n--\n\n"
     "Rebuild a fitted classifier from an `export_tree` dump (used to unpickle)."},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef kObjectiveMethods[] = {
    {"fit", as_cfunction(method_fit), kArgs, "fit($self, x, y)\n--\n\n"},
    {"predict", as_cfunction(method_predict), kArgs, "predict($self, x)\n--\n\n"},
    {"predict_proba", as_cfunction(method_predict_proba), kArgs, "predict_proba($self, x)\n--\n\n"},
    {"predict_finite", as_cfunction(method_predict_finite), kArgs, kPredictFiniteDoc},
    {"predict_proba_finite", as_cfunction(method_predict_proba_finite), kArgs,
     kPredictProbaFiniteDoc},
    {"apply", as_cfunction(method_apply), kArgs, kApplyDoc},
    {"decision_path", as_cfunction(method_decision_path), kArgs, kDecisionPathDoc},
    {"split_scores", method_split_scores, METH_NOARGS, kSplitScoresDoc},
    {"depth", method_depth, METH_NOARGS, "depth($self)\n--\n\n"},
    {"n_leaves", method_n_leaves, METH_NOARGS, "n_leaves($self)\n--\n\n"},
    {"export_tree", method_export_tree, METH_NOARGS, "export_tree($self)\n--\n\n"},
    {"from_tree", as_cfunction(method_from_tree<ObjectiveTask>),
     kArgs | METH_STATIC,
     "from_tree(tree, n_classes, categorical)\n--\n\n"
     "Rebuild a fitted objective classifier from an `export_tree` dump. The\n"
     "objective plays no part in prediction, so a placeholder task is used."},
    {nullptr, nullptr, 0, nullptr}};

// The classes' descriptions; the text signature before each is made from the
// class's argument list.
constexpr const char kRegressorDoc[] = "Native regression tree.";
constexpr const char kClassifierDoc[] =
    "Native classification tree. Targets are already label-encoded to `0..n`\n"
    "by the Python layer; class recovery happens there via `classes_`.";
constexpr const char kObjectiveDoc[] =
    "Native classification tree that selects splits by a metric objective\n"
    "(precision/recall/F1/F\u03b2/accuracy) instead of impurity.";

/// "Name(arg, ...)\n--\n\n" and the description: the docstring from which
/// Python reads the class's text signature.
template <class T>
const char* class_doc(const char* description) {
  static const std::string doc = [&] {
    std::string text = std::string(ClassOf<T>::name) + "(";
    for (const char* const* name = ClassOf<T>::arguments; *name != nullptr; ++name) {
      if (name != ClassOf<T>::arguments) text += ", ";
      text += *name;
    }
    return text + ")\n--\n\n" + description;
  }();
  return doc.c_str();
}

template <class T>
PyType_Spec* type_spec(const char* doc, PyMethodDef* methods) {
  static PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(estimator_new<T>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(estimator_dealloc)},
      {Py_tp_doc, const_cast<char*>(class_doc<T>(doc))},
      {Py_tp_methods, methods},
      {0, nullptr}};
  // The classes belong to no module: they present themselves as builtins. A
  // name without the "builtins." prefix would leave them with no __module__
  // at all (and a DeprecationWarning at import).
  static const std::string name = std::string("builtins.") + ClassOf<T>::name;
  static PyType_Spec spec = {name.c_str(), sizeof(EstimatorObject), 0, Py_TPFLAGS_DEFAULT, slots};
  return &spec;
}

/// Creates the class of task type T, keeps it and adds it to the module.
template <class T>
void add_type(PyObject* module, const char* doc, PyMethodDef* methods) {
  PyRef type = checked(PyType_FromSpec(type_spec<T>(doc, methods)));
  PyTypeObject*& kept = ClassOf<T>::type;
  Py_XDECREF(reinterpret_cast<PyObject*>(kept));
  kept = reinterpret_cast<PyTypeObject*>(PyRef::borrowed(type.get()).release());
  check_status(PyModule_AddObject(module, ClassOf<T>::name, type.get()));
  type.release();  // the module took the reference
}

}  // namespace

void add_estimator_types(PyObject* module) {
  add_type<ClassificationTask>(module, kClassifierDoc, kClassifierMethods);
  add_type<ObjectiveTask>(module, kObjectiveDoc, kObjectiveMethods);
  add_type<RegressionTask>(module, kRegressorDoc, kRegressorMethods);
}

}  // namespace quor::py
