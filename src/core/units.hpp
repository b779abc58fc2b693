#pragma once

namespace vorda {

// The channel numbers that failure reports name. The data file, the scratch
// file and the full event file share channel 1: they are never open at the
// same time.
inline constexpr int kDataUnit = 1;
inline constexpr int kScratchUnit = 1;
inline constexpr int kFullEventsUnit = 1;
inline constexpr int kShortEventsUnit = 2;
inline constexpr int kDaysUnit = 3;
inline constexpr int kWsdiUnit = 4;
inline constexpr int kConsoleIn = 5;
inline constexpr int kConsoleOut = 6;
inline constexpr int kCsdiUnit = 7;
inline constexpr int kSgsUnit = 8;
inline constexpr int kLfdUnit = 9;

}  // namespace vorda
