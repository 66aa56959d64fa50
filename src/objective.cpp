#include "objective.hpp"

#include <string>

#include "config.hpp"
#include "errors.hpp"

namespace quor {

AverageMode parse_average(std::string_view text) {
  if (text == "binary") return AverageMode::Binary;
  if (text == "micro") return AverageMode::Micro;
  if (text == "macro") return AverageMode::Macro;
  if (text == "weighted") return AverageMode::Weighted;
  throw ValueError("unknown average " + quoted(text) + " (expected binary/micro/macro/weighted)");
}

Objective Objective::from_name(std::string_view name, AverageMode average, std::uint64_t pos_label,
                               double beta) {
  if (name == "precision") return {ObjectiveKind::Precision, average, pos_label, 0.0};
  if (name == "recall") return {ObjectiveKind::Recall, average, pos_label, 0.0};
  if (name == "f1") return {ObjectiveKind::F1, average, pos_label, 0.0};
  if (name == "fbeta") return {ObjectiveKind::FBeta, average, pos_label, beta};
  if (name == "accuracy") return accuracy();
  throw ValueError("unknown objective " + quoted(name) +
                   " (expected precision/recall/f1/fbeta/accuracy)");
}

std::string_view Objective::name() const {
  switch (kind_) {
    case ObjectiveKind::Precision: return "precision";
    case ObjectiveKind::Recall: return "recall";
    case ObjectiveKind::F1: return "f1";
    case ObjectiveKind::FBeta: return "fbeta";
    case ObjectiveKind::Accuracy: return "accuracy";
  }
  return "";
}

}  // namespace quor
