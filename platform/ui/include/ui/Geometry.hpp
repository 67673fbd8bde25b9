#pragma once
// Plain value types of the view layer: points, sizes, rectangles, insets,
// alignments, colours, gradients, fonts and shapes. All lengths are in points;
// a device scale factor turns them into pixels only when drawing.

#include <algorithm>
#include <limits>
#include <optional>
#include <string>
#include <variant>

namespace ui {

inline constexpr double infinity = std::numeric_limits<double>::infinity();

struct Point {
    double x = 0, y = 0;
    friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
    double width = 0, height = 0;
    friend bool operator==(const Size&, const Size&) = default;
};

struct Rect {
    double x = 0, y = 0, width = 0, height = 0;
    [[nodiscard]] double maxX() const { return x + width; }
    [[nodiscard]] double maxY() const { return y + height; }
    [[nodiscard]] Point center() const { return {x + width / 2, y + height / 2}; }
    [[nodiscard]] bool contains(Point p) const { return p.x >= x && p.x < x + width && p.y >= y && p.y < y + height; }
    friend bool operator==(const Rect&, const Rect&) = default;
};

// Readable test failures.
template <class Stream>
Stream& operator<<(Stream& out, const Rect& r) {
    out << "{" << r.x << ", " << r.y << ", " << r.width << ", " << r.height << "}";
    return out;
}
template <class Stream>
Stream& operator<<(Stream& out, const Size& s) {
    out << "{" << s.width << ", " << s.height << "}";
    return out;
}

// A size offered by a parent; an absent dimension asks for the child's ideal size.
struct ProposedSize {
    std::optional<double> width, height;
    friend bool operator==(const ProposedSize&, const ProposedSize&) = default;
};

struct EdgeInsets {
    double top = 0, leading = 0, bottom = 0, trailing = 0;
};

enum class Edge : unsigned { top = 1, leading = 2, bottom = 4, trailing = 8, horizontal = 10, vertical = 5, all = 15 };

enum class HorizontalAlignment { leading, center, trailing };
enum class VerticalAlignment { top, center, bottom, firstTextBaseline };

struct Alignment {
    HorizontalAlignment horizontal = HorizontalAlignment::center;
    VerticalAlignment vertical = VerticalAlignment::center;
    static constexpr Alignment center() { return {}; }
    static constexpr Alignment leading() { return {HorizontalAlignment::leading, VerticalAlignment::center}; }
    static constexpr Alignment trailing() { return {HorizontalAlignment::trailing, VerticalAlignment::center}; }
    static constexpr Alignment top() { return {HorizontalAlignment::center, VerticalAlignment::top}; }
    static constexpr Alignment bottom() { return {HorizontalAlignment::center, VerticalAlignment::bottom}; }
    static constexpr Alignment topLeading() { return {HorizontalAlignment::leading, VerticalAlignment::top}; }
    static constexpr Alignment topTrailing() { return {HorizontalAlignment::trailing, VerticalAlignment::top}; }
    static constexpr Alignment bottomLeading() { return {HorizontalAlignment::leading, VerticalAlignment::bottom}; }
    static constexpr Alignment bottomTrailing() { return {HorizontalAlignment::trailing, VerticalAlignment::bottom}; }
};

// A point in a view's bounds as fractions of its width and height.
struct UnitPoint {
    double x = 0, y = 0;
    static constexpr UnitPoint top() { return {0.5, 0}; }
    static constexpr UnitPoint bottom() { return {0.5, 1}; }
    static constexpr UnitPoint leading() { return {0, 0.5}; }
    static constexpr UnitPoint trailing() { return {1, 0.5}; }
    static constexpr UnitPoint center() { return {0.5, 0.5}; }
    static constexpr UnitPoint topLeading() { return {0, 0}; }
    static constexpr UnitPoint bottomTrailing() { return {1, 1}; }
};

// An sRGB colour with opacity; components 0 ... 1, not premultiplied.
struct Color {
    double r = 0, g = 0, b = 0, a = 1;

    static constexpr Color sRGB(double red, double green, double blue, double opacity = 1) { return {red, green, blue, opacity}; }
    static constexpr Color white() { return {1, 1, 1, 1}; }
    static constexpr Color black() { return {0, 0, 0, 1}; }
    static constexpr Color gray() { return {142.0 / 255, 142.0 / 255, 147.0 / 255, 1}; }
    static constexpr Color red() { return {1, 59.0 / 255, 48.0 / 255, 1}; }
    static constexpr Color green() { return {52.0 / 255, 199.0 / 255, 89.0 / 255, 1}; }
    static constexpr Color blue() { return {0, 122.0 / 255, 1, 1}; }
    // The label colour of a light window: black.
    static constexpr Color primary() { return {0, 0, 0, 1}; }
    static constexpr Color clear() { return {0, 0, 0, 0}; }
    // The same colour with its opacity multiplied by `factor`.
    [[nodiscard]] constexpr Color opacity(double factor) const { return {r, g, b, a * factor}; }
    friend bool operator==(const Color&, const Color&) = default;
};

struct LinearGradient {
    Color from, to;
    UnitPoint startPoint = UnitPoint::top();
    UnitPoint endPoint = UnitPoint::bottom();
};

// What a shape or text is filled with.
using Paint = std::variant<Color, LinearGradient>;

enum class FontWeight { regular, medium, semibold, bold, black };
enum class FontDesign { standard, rounded, monospaced };

struct Font {
    std::string family;  // empty: the system font in `design`
    double size = 13;
    FontWeight weight = FontWeight::regular;
    FontDesign design = FontDesign::standard;

    static Font system(double size, FontWeight weight = FontWeight::regular, FontDesign design = FontDesign::standard) {
        return Font{{}, size, weight, design};
    }
    // A named family; when the family is not available a system font stands in.
    static Font custom(std::string family, double size) { return Font{std::move(family), size, FontWeight::regular, FontDesign::standard}; }
    [[nodiscard]] Font withWeight(FontWeight w) const { Font f = *this; f.weight = w; return f; }
    friend bool operator==(const Font&, const Font&) = default;
};

enum class ShapeKind { rectangle, roundedRectangle, capsule, ellipse };

struct Shape {
    ShapeKind kind = ShapeKind::rectangle;
    double cornerRadius = 0;
};

enum class TextAlignment { leading, center, trailing };

}  // namespace ui
