#pragma once

#include <cmath>

namespace stampo {

// Forms measure heights in multiples of the font size: a control is 1.5 x the font's pixel size tall.
constexpr double rowHeightForFont(double fontPixelSize) {
    return fontPixelSize * 1.5;
}

// The y that centres a control in its row; negative when the control is taller than the row.
constexpr double centredY(double rowHeight, double controlHeight) {
    return (rowHeight - controlHeight) * 0.5;
}

// A span on whole pixels.
struct PixelSpan {
    int start;
    int length;
};

// Rounds both edges of [start, start + length) rather than start and length apart, so that spans which meet
// exactly (rows stacked at fractional offsets) still meet on screen, without gaps or overlaps.
inline PixelSpan pixelSpan(double start, double length) {
    const auto edge = [](double value) { return static_cast<int>(std::floor(value + 0.5)); };
    const int first = edge(start);
    return {first, edge(start + length) - first};
}

} // namespace stampo
