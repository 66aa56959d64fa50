#include "errors.hpp"

namespace quor {

void check_index(std::uint64_t index, std::uint64_t length, const char* what) {
  if (index >= length) {
    throw InternalError("index out of bounds: " + std::string(what) + " has length " +
                        std::to_string(length) + " but the index is " + std::to_string(index));
  }
}

}  // namespace quor
