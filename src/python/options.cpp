#include "options.hpp"

#include <string_view>

#include "aggregation.hpp"
#include "config.hpp"
#include "convert.hpp"
#include "criterion.hpp"
#include "encoder.hpp"
#include "folds.hpp"
#include "guard.hpp"
#include "input.hpp"
#include "objective.hpp"
#include "settings.hpp"
#include "task.hpp"

namespace quor::py {

namespace {

PyRef py_text(std::string_view text) {
  return checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

/// The names of a table (those `keep` accepts) as a tuple of str.
template <class Table, class Keep>
PyRef names_of(const Table& table, const Keep& keep) {
  PyRef out = checked(PyList_New(0));
  for (const auto& entry : table) {
    if (keep(entry.value)) check_status(PyList_Append(out.get(), py_text(entry.name).get()));
  }
  return checked(PyList_AsTuple(out.get()));
}

template <class Table>
PyRef names_of(const Table& table) {
  return names_of(table, [](const auto&) { return true; });
}

void set_item(const PyRef& dict, const char* key, const PyRef& value) {
  check_status(PyDict_SetItemString(dict.get(), key, value.get()));
}

}  // namespace

void add_option_tables(PyObject* module) {
  PyRef options = checked(PyDict_New());
  set_item(options, "regression_criterion", names_of(kRegressionCriteria));
  set_item(options, "classification_criterion", names_of(kClassificationCriteria));
  set_item(options, "fast_regression_criterion", names_of(kRegressionCriteria, fast_mode_supports));
  set_item(options, "objective", names_of(kObjectives));
  set_item(options, "pos_label_objective", names_of(kObjectives, uses_pos_label));
  set_item(options, "average", names_of(kAverages));
  set_item(options, "objective_labels", names_of(kLabelRules));
  set_item(options, "aggregator", names_of(kAggregators));
  set_item(options, "mode", names_of(kModes));
  set_item(options, "split_style", names_of(kSplitStyles));
  set_item(options, "missing", names_of(kMissingSides));
  set_item(options, "categorical_split", names_of(kCategoricalSplits));
  set_item(options, "threshold_placement", names_of(kThresholdPlacements));
  set_item(options, "split_style_alias", names_of(kSplitStyleAliases));
  check_status(PyObject_SetAttrString(module, "OPTIONS", options.get()));

  PyRef limits = checked(PyDict_New());
  set_item(limits, "fast_max_bins", py_uint(kMaxFastCodes));
  set_item(limits, "fast_max_categories", py_uint(kMaxFastCodes));
  set_item(limits, "fast_max_folds", py_uint(kMaxFastFolds));
  set_item(limits, "max_samples", py_uint(kMaxSamples));
  set_item(limits, "max_category_code", py_uint(kMissingCode - 1));
  set_item(limits, "largest_target", py_float(kLargestTarget));
  set_item(limits, "max_weight_fraction_leaf", py_float(kMaxWeightFractionLeaf));
  check_status(PyObject_SetAttrString(module, "LIMITS", limits.get()));
}

}  // namespace quor::py
