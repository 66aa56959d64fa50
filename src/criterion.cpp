#include "criterion.hpp"

#include <string>

#include "config.hpp"
#include "errors.hpp"

namespace quor {

Criterion Criterion::regression(std::string_view name) {
  if (name == "mse") return {CriterionKind::Mse, 0};
  if (name == "variance") return {CriterionKind::Variance, 0};
  if (name == "mae") return {CriterionKind::Mae, 0};
  throw ValueError("unknown regression criterion " + quoted(name) +
                   " (expected \"mse\", \"variance\" or \"mae\")");
}

Criterion Criterion::classification(std::string_view name, std::uint64_t n_classes) {
  if (name == "gini") return {CriterionKind::Gini, n_classes};
  if (name == "entropy") return {CriterionKind::Entropy, n_classes};
  throw ValueError("unknown classification criterion " + quoted(name) +
                   " (expected \"gini\" or \"entropy\")");
}

std::string_view Criterion::name() const {
  switch (kind_) {
    case CriterionKind::Mse: return "mse";
    case CriterionKind::Variance: return "variance";
    case CriterionKind::Mae: return "mae";
    case CriterionKind::Gini: return "gini";
    case CriterionKind::Entropy: return "entropy";
  }
  return "";
}

}  // namespace quor
