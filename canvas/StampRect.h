#pragma once

// One entry of the canvas's event buffer: a stamp rectangle in picture points
// (y up, origin at the picture's lower-left corner), or the end-of-stroke
// marker, recognised by its width being exactly -1.
struct StampRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    static constexpr StampRect endOfStroke() { return {0, 0, -1, -1}; }
    bool isEndOfStroke() const { return width == -1; }
    bool isNull() const { return x == 0 && y == 0 && width == 0 && height == 0; }
    double centerX() const { return x + 0.5 * width; }
    double centerY() const { return y + 0.5 * height; }
    bool operator==(const StampRect&) const = default;
};
