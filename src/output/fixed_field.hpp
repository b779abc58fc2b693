#pragma once

#include <cstddef>
#include <string>

namespace vorda {

// Grows `out` by `count` blanks and returns where they start. Every field
// is written through this, together with the blanks pending before it, so
// that a field costs one append.
inline char* grow(std::string& out, std::size_t count) {
  const std::size_t size = out.size();
  out.resize(size + count, ' ');
  return out.data() + size;
}

// Appends `blanks` blanks and the field fw.d of `v` (f0.d when w is 0):
// rounded half away from zero at the last place, right-justified, a field
// of asterisks when the value does not fit, and Inf/Infinity/NaN for values
// that are not finite. Takes the exact integer path where it applies, unless
// `integer_path` is false (the 38-digit expansion alone, for checking).
void append_fixed(std::string& out, std::size_t blanks, double v, int w, int d, bool integer_path = true);

}  // namespace vorda
