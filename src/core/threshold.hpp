#pragma once

#include <cstdint>
#include <string_view>

namespace vorda {

enum class ThresholdType { Upper, Lower, None };

// The threshold setting of a run, as the dialogue leaves it.
struct Threshold {
  ThresholdType type = ThresholdType::None;
  double thres = -999.0;
  std::int32_t durmin = -999;
};

// The five characters that stand for the type in file names and headers.
constexpr std::string_view type_name(ThresholdType type) {
  switch (type) {
    case ThresholdType::Upper:
      return "upper";
    case ThresholdType::Lower:
      return "lower";
    case ThresholdType::None:
      break;
  }
  return "-----";
}

// A value passes when it lies strictly beyond the threshold; a value equal to
// the threshold, or one that is not a number, never passes.
constexpr bool passes(ThresholdType type, double x, double thres) {
  switch (type) {
    case ThresholdType::Upper:
      return x > thres;
    case ThresholdType::Lower:
      return x < thres;
    case ThresholdType::None:
      break;
  }
  return false;
}

}  // namespace vorda
