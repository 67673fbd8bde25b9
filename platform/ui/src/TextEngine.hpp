#pragma once
// Text measurement and drawing with Pango on Cairo. Sizes are in points. Every
// layout, measured or drawn, comes from one Pango context at 72 dots per inch
// with fixed font options (no hinting, unhinted metrics, grey antialiasing) and
// glyph positions in points: whatever surface and device scale text is drawn
// to, it is laid out exactly as it was measured.

#include <cairo.h>
#include <pango/pangocairo.h>

#include <memory>
#include <optional>
#include <string>

#include "ui/Geometry.hpp"

namespace ui {

struct TextStyle {
    Font font;
    double tracking = 0;
    std::optional<int> lineLimit;
    double minimumScaleFactor = 1;
    TextAlignment alignment = TextAlignment::leading;
};

struct LayoutDeleter {
    void operator()(PangoLayout* layout) const { g_object_unref(layout); }
};
using LayoutPtr = std::unique_ptr<PangoLayout, LayoutDeleter>;

struct TextMetrics {
    Size size;
    double baseline = 0;   // from the top of the first line
    double fontScale = 1;  // applied by the minimum scale factor
};

// The font description for a font (system families by design, weights by number).
PangoFontDescription* newFontDescription(const Font& font, double scale = 1);

// A layout of `text` in `style`, wrapped or truncated to `width` when given.
LayoutPtr makeLayout(const std::string& text, const TextStyle& style, std::optional<double> width,
                     double fontScale = 1);

TextMetrics measureText(const std::string& text, const TextStyle& style, std::optional<double> width);

// A layout as drawn in `frame`, and where its origin goes.
struct PlacedLayout {
    LayoutPtr layout;
    Point origin;
};
PlacedLayout placeLayout(const std::string& text, const TextStyle& style, Rect frame, double fontScale);
// The character boundary nearest to `p`.
std::size_t indexAtPoint(const PlacedLayout& placed, const std::string& text, Point p);
// Fills the area of the byte range from ... to.
void highlightRange(cairo_t* cr, const PlacedLayout& placed, std::size_t from, std::size_t to, Color color);

// Draws the text in `frame` (its measured size at that width) with `paint`.
void drawText(cairo_t* cr, const std::string& text, const TextStyle& style, Rect frame, const Paint& paint,
              double fontScale);

// Sets a colour or a gradient over `bounds` as the source (defined with the nodes).
void setSourcePaint(cairo_t* cr, const Paint& paint, Rect bounds);

// Line height of a font, for single-line controls.
double lineHeight(const Font& font);

// Called after a font registration: drops the cached Pango font map and context
// and starts a new font generation.
void resetFontCaches();
// Changes whenever fonts were registered: text measured under another
// generation may measure differently now.
unsigned fontGeneration();

// The family Pango picks for a description (after fontconfig substitution).
std::string resolvedFamily(const Font& font);

}  // namespace ui
