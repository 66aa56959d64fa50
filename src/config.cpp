#include "config.hpp"

#include <algorithm>
#include <cstdio>

#include "errors.hpp"

namespace quor {

TreeConfig placeholder_config() { return TreeConfig{.max_depth = 8}; }

namespace {

// Decodes one UTF-8 sequence starting at text[i]; returns the code point and
// advances i. Invalid bytes are returned as themselves (>= 0x80, < 0x100) with
// a flag so that they are escaped rather than copied.
char32_t next_code_point(std::string_view text, std::size_t& i, bool& valid) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  valid = true;
  if (lead < 0x80) {
    ++i;
    return lead;
  }
  int extra = 0;
  char32_t cp = 0;
  if ((lead & 0xE0) == 0xC0) {
    extra = 1;
    cp = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2;
    cp = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3;
    cp = lead & 0x07;
  } else {
    valid = false;
    ++i;
    return lead;
  }
  if (i + extra >= text.size()) {
    valid = false;
    ++i;
    return lead;
  }
  for (int k = 1; k <= extra; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) {
      valid = false;
      ++i;
      return lead;
    }
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  i += extra + 1;
  return cp;
}

// Characters shown as escapes: control characters and the invisible format,
// separator and private-use code points that would hide in a message.
bool is_printable(char32_t cp) {
  if (cp < 0x20 || (cp >= 0x7F && cp <= 0xA0) || cp == 0xAD) return false;
  if ((cp >= 0x200B && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202E) ||
      (cp >= 0x2060 && cp <= 0x206F) || cp == 0xFEFF)
    return false;
  if ((cp >= 0xD800 && cp <= 0xDFFF) || (cp >= 0xE000 && cp <= 0xF8FF) || cp > 0x10FFFF)
    return false;
  if ((cp & 0xFFFE) == 0xFFFE) return false;  // non-characters U+xFFFE, U+xFFFF
  return true;
}

void append_unicode_escape(std::string& out, char32_t cp) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "\\u{%x}", static_cast<unsigned>(cp));
  out += buffer;
}

[[noreturn]] void unknown(std::string_view what, std::string_view text, const std::string& expected) {
  throw ValueError("unknown " + std::string(what) + " " + quoted(text) + " (expected " + expected + ")");
}

}  // namespace

std::string format_double(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

std::string quoted(std::string_view text) {
  std::string out = "\"";
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t start = i;
    bool valid = true;
    const char32_t cp = next_code_point(text, i, valid);
    if (!valid) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\x%02x", static_cast<unsigned>(cp));
      out += buffer;
      continue;
    }
    switch (cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (is_printable(cp)) {
          out.append(text.substr(start, i - start));
        } else {
          append_unicode_escape(out, cp);
        }
    }
  }
  out += '"';
  return out;
}

SplitMode parse_mode(std::string_view text) {
  if (const auto mode = find_named(kModes, text)) return *mode;
  unknown("mode", text, listed_names(kModes, true));
}

SplitStyle parse_split_style(std::string_view text) {
  if (const auto style = find_named(kSplitStyles, text)) return *style;
  if (const auto style = find_named(kSplitStyleAliases, text)) return *style;
  unknown("split_style", text, listed_names(kSplitStyles, true));
}

MissingSide parse_missing_side(std::string_view text) {
  if (const auto side = find_named(kMissingSides, text)) return *side;
  unknown("missing", text, listed_names(kMissingSides, true));
}

CategoricalSplit parse_categorical_split(std::string_view text) {
  if (const auto kind = find_named(kCategoricalSplits, text)) return *kind;
  unknown("categorical_split", text, listed_names(kCategoricalSplits, true));
}

ThresholdPlacement parse_threshold_placement(std::string_view text) {
  if (const auto placement = find_named(kThresholdPlacements, text)) return *placement;
  unknown("threshold_placement", text, listed_names(kThresholdPlacements, true));
}

std::vector<std::uint64_t> sorted_unique(std::span<const std::uint64_t> indices) {
  std::vector<std::uint64_t> out(indices.begin(), indices.end());
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

bool is_categorical(std::span<const std::uint64_t> categorical, std::uint64_t feature) {
  return std::binary_search(categorical.begin(), categorical.end(), feature);
}

}  // namespace quor
