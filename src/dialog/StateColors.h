#pragma once
// The colour states 0..4 of the dialog's indicators: the filled part and the rest of each bar.

#include <cstdint>

// 0xAARRGGBB.
struct StateColorPair {
    uint32_t filled;
    uint32_t unfilled;
};

constexpr uint32_t COLOR_WHITE = 0xFFFFFFFF;
constexpr uint32_t COLOR_GREY = 0xFF808080;
constexpr uint32_t COLOR_ORANGE = 0xFFE98300;
constexpr uint32_t COLOR_BLUE = 0xFF0073D9;

constexpr int STATE_COLOR_COUNT = 5;
inline constexpr StateColorPair StateColors[STATE_COLOR_COUNT] = {
    {COLOR_WHITE, COLOR_WHITE}, {COLOR_GREY, COLOR_WHITE}, {COLOR_ORANGE, COLOR_WHITE},
    {COLOR_BLUE, COLOR_ORANGE}, {COLOR_BLUE, COLOR_WHITE},
};

// The pair of a colour state; a state outside 0..4 is shown as blank (state 0), never used as an index.
inline const StateColorPair& StateColorsOf(int state) {
    return state < 0 || state >= STATE_COLOR_COUNT ? StateColors[0] : StateColors[state];
}
