#pragma once

#include <array>
#include <string_view>

namespace vorda {

// The console lines of the dialogue, each a free-format write of one text
// item; an empty entry stands for an empty write (an empty line).

inline constexpr std::array<std::string_view, 61> kBanner = {
    "",
    "",
    "",
    " VORDA: Threshold Event Measures of Daily Climate Records",
    " ========================================================",
    "",
    "",
    " Threshold events and yearly indices of a daily climate series",
    " (events: midpoint, duration, action measure; yearly: days beyond, WSDI/CSDI, SGS, LFD)",
    "",
    " Version 1.0 (2026)",
    "",
    "",
    "",
    " Note (1): Input data format",
    " ===========================",
    "",
    " Column 1:     t  time (counter)",
    "        2:     d  day (1-31)",
    "        3:     m  month (1-12)",
    "        4:     yr year",
    "        5:     x  data value",
    "",
    " Assumptions:  - daily data (i.e., t-units = days)",
    "               - t increases strictly monotonically",
    "               - relevant seasons already extracted",
    "               - no missing values",
    "",
    " See VORDA for example data",
    "",
    "",
    "",
    " Note (2): Threshold selection",
    " =============================",
    "",
    " Assumption:   - constant threshold ",
    "",
    "               - application of time-dependent threshold",
    "                 can be done prior to analysis",
    "",
    "",
    "",
    " Note (3): Output files",
    " ======================",
    "",
    " VORDA-*.dat        - Action measure, full information",
    "",
    " VORDAshort-*.dat   - Action measure, short version, no header",
    "",
    " VORDAndays-*.dat   - Number of days measure",
    "",
    " VORDA-CSDI-*.dat   - CSDI",
    "",
    " VORDA-WSDI-*.dat   - WSDI",
    "",
    " VORDA-SGS--*.dat   - Start of growing season",
    "",
    " VORDA-LFD--*.dat   - Last frost day",
    "",
    "",
    "",
};

inline constexpr std::array<std::string_view, 3> kBlankLines = {"", "", ""};

inline constexpr std::array<std::string_view, 5> kTypeQuestion = {
    "", "", "", " x-threshold, type:   upper [u]", "                      lower [l]",
};

inline constexpr std::array<std::string_view, 4> kValueQuestion = {
    "",
    "",
    "",
    " x-threshold, value:        [INPUT]",
};

inline constexpr std::array<std::string_view, 4> kDurationQuestion = {
    "",
    "",
    "",
    " Event, minimum duration:   [INPUT]",
};

inline constexpr std::array<std::string_view, 6> kClosing = {
    "", "", "", " VORDA terminated successfully", " =============================", "",
};

}  // namespace vorda
