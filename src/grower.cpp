#include "grower.hpp"

#include "errors.hpp"

namespace quor {

// Placeholder until the growers land; fit reports it as an internal error.
Tree grow_strict(const GrowInput&, std::span<const FeatureColumn>) {
  throw InternalError("strict growing is not built yet");
}
Tree fit_fast(const GrowInput&, std::span<const FeatureColumn>) {
  throw InternalError("fast growing is not built yet");
}
Tree grow_fast(const GrowInput&, const EncodedFeatures&) {
  throw InternalError("fast growing is not built yet");
}

}  // namespace quor
