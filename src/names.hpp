#pragma once
/// The names of a string option: one table per option, read by its parser,
/// by the lists its messages show and by the module's export of the accepted
/// names, so that the names are written once.

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quor {

/// One accepted name and the value it stands for.
template <class Value>
struct Named {
  std::string_view name;
  Value value;
};

/// The value named `text` (an exact, case-sensitive match), or nullopt.
template <class Value, std::size_t N>
constexpr std::optional<Value> find_named(const std::array<Named<Value>, N>& table, std::string_view text) {
  for (const Named<Value>& entry : table) {
    if (entry.name == text) return entry.value;
  }
  return std::nullopt;
}

/// The first name of `value` in the table ("" when it has none).
template <class Value, std::size_t N>
constexpr std::string_view name_of(const std::array<Named<Value>, N>& table, Value value) {
  for (const Named<Value>& entry : table) {
    if (entry.value == value) return entry.name;
  }
  return "";
}

/// The names as a message lists them: "a", "b" or "c" (quoted), or a/b/c.
template <class Value, std::size_t N>
std::string listed_names(const std::array<Named<Value>, N>& table, bool quoted) {
  std::string out;
  for (std::size_t i = 0; i < N; ++i) {
    if (i > 0) out.append(quoted ? (i + 1 == N ? " or " : ", ") : "/");
    if (quoted) out.push_back('"');
    out.append(table[i].name);
    if (quoted) out.push_back('"');
  }
  return out;
}

}  // namespace quor
