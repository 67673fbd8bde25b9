#include "TextEngine.hpp"

#include <algorithm>
#include <cmath>

// fontconfig stores pointers inside its patterns as offsets, so LeakSanitizer
// cannot follow them and reports the font caches Pango keeps alive as leaks.
// Those reports are false; this tells LeakSanitizer so, in every program that
// draws text (it sits here because this file is linked whenever text is used).
// Only the sanitizer runtime reads the symbol; a program may define it once.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
#endif

namespace ui {
namespace {

cairo_font_options_t* fontOptions() {
    static cairo_font_options_t* options = [] {
        cairo_font_options_t* o = cairo_font_options_create();
        cairo_font_options_set_hint_metrics(o, CAIRO_HINT_METRICS_OFF);
        cairo_font_options_set_hint_style(o, CAIRO_HINT_STYLE_NONE);
        cairo_font_options_set_antialias(o, CAIRO_ANTIALIAS_GRAY);
        return o;
    }();
    return options;
}

PangoContext*& layoutContextSlot() {
    static PangoContext* context = nullptr;
    return context;
}

unsigned& fontGenerationSlot() {
    static unsigned generation = 0;
    return generation;
}

PangoContext* layoutContext() {
    PangoContext*& context = layoutContextSlot();
    if (!context) {
        // Its matrix stays the identity, so glyph positions round to whole
        // points, as measured, at any device scale.
        context = pango_font_map_create_context(pango_cairo_font_map_get_default());
        pango_cairo_context_set_resolution(context, 72.0);
        pango_cairo_context_set_font_options(context, fontOptions());
    }
    return context;
}

PangoWeight pangoWeight(FontWeight weight) {
    switch (weight) {
        case FontWeight::regular: return PANGO_WEIGHT_NORMAL;
        case FontWeight::medium: return PANGO_WEIGHT_MEDIUM;
        case FontWeight::semibold: return PANGO_WEIGHT_SEMIBOLD;
        case FontWeight::bold: return PANGO_WEIGHT_BOLD;
        case FontWeight::black: return PANGO_WEIGHT_HEAVY;
    }
    return PANGO_WEIGHT_NORMAL;
}

double logicalWidth(PangoLayout* layout) {
    PangoRectangle logical;
    pango_layout_get_extents(layout, nullptr, &logical);
    return logical.width / double(PANGO_SCALE);
}

}  // namespace

PangoFontDescription* newFontDescription(const Font& font, double scale) {
    PangoFontDescription* description = pango_font_description_new();
    const char* family = font.design == FontDesign::monospaced ? "Monospace" : "Sans";
    pango_font_description_set_family(description, font.family.empty() ? family : font.family.c_str());
    pango_font_description_set_weight(description, pangoWeight(font.weight));
    pango_font_description_set_absolute_size(description, std::max(0.01, font.size * scale) * PANGO_SCALE);
    return description;
}

LayoutPtr makeLayout(const std::string& text, const TextStyle& style, std::optional<double> width, double fontScale) {
    // Not a context of the target surface: that one would take the surface's
    // font options and round glyph positions to its device pixels.
    PangoLayout* layout = pango_layout_new(layoutContext());
    pango_layout_set_text(layout, text.c_str(), int(text.size()));
    PangoFontDescription* description = newFontDescription(style.font, fontScale);
    pango_layout_set_font_description(layout, description);
    pango_font_description_free(description);
    if (style.tracking != 0) {
        PangoAttrList* attributes = pango_attr_list_new();
        pango_attr_list_insert(attributes, pango_attr_letter_spacing_new(int(std::lround(style.tracking * fontScale * PANGO_SCALE))));
        pango_layout_set_attributes(layout, attributes);
        pango_attr_list_unref(attributes);
    }
    switch (style.alignment) {
        case TextAlignment::leading: pango_layout_set_alignment(layout, PANGO_ALIGN_LEFT); break;
        case TextAlignment::center: pango_layout_set_alignment(layout, PANGO_ALIGN_CENTER); break;
        case TextAlignment::trailing: pango_layout_set_alignment(layout, PANGO_ALIGN_RIGHT); break;
    }
    if (width) {
        pango_layout_set_width(layout, int(std::max(0.0, *width) * PANGO_SCALE));
        pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
        if (style.lineLimit) {
            pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_END);
            pango_layout_set_height(layout, -std::max(1, *style.lineLimit));
        }
    }
    return LayoutPtr(layout);
}

TextMetrics measureText(const std::string& text, const TextStyle& style, std::optional<double> width) {
    auto metrics = [](PangoLayout* layout, double scale) {
        PangoRectangle logical;
        pango_layout_get_extents(layout, nullptr, &logical);
        return TextMetrics{{logical.width / double(PANGO_SCALE), logical.height / double(PANGO_SCALE)},
                           pango_layout_get_baseline(layout) / double(PANGO_SCALE), scale};
    };
    LayoutPtr ideal = makeLayout(text, style, std::nullopt);
    TextMetrics result = metrics(ideal.get(), 1);
    const bool singleLine = pango_layout_get_line_count(ideal.get()) <= 1;
    if (!width || result.size.width <= *width + 1e-6) return result;
    if (style.lineLimit && style.minimumScaleFactor < 1 && singleLine && result.size.width > 0) {
        const double scale = std::max(style.minimumScaleFactor, *width / result.size.width);
        LayoutPtr shrunk = makeLayout(text, style, std::nullopt, scale);
        TextMetrics fitted = metrics(shrunk.get(), scale);
        if (fitted.size.width <= *width + 1e-6) return fitted;
        LayoutPtr cut = makeLayout(text, style, width, scale);
        fitted = metrics(cut.get(), scale);
        fitted.size.width = *width;
        return fitted;
    }
    LayoutPtr wrapped = makeLayout(text, style, width);
    TextMetrics fitted = metrics(wrapped.get(), 1);
    fitted.size.width = std::min(*width, fitted.size.width);
    if (style.lineLimit) fitted.size.width = *width;
    return fitted;
}

PlacedLayout placeLayout(const std::string& text, const TextStyle& style, Rect frame, double fontScale) {
    LayoutPtr layout = makeLayout(text, style, std::nullopt, fontScale);
    double x = frame.x;
    if (logicalWidth(layout.get()) > frame.width + 0.01) {
        layout = makeLayout(text, style, frame.width, fontScale);
    } else {
        const double spare = frame.width - logicalWidth(layout.get());
        if (style.alignment == TextAlignment::center) x += spare / 2;
        if (style.alignment == TextAlignment::trailing) x += spare;
    }
    PangoRectangle logical;
    pango_layout_get_extents(layout.get(), nullptr, &logical);
    return {std::move(layout), {x - logical.x / double(PANGO_SCALE), frame.y - logical.y / double(PANGO_SCALE)}};
}

std::size_t indexAtPoint(const PlacedLayout& placed, const std::string& text, Point p) {
    int index = 0, trailing = 0;
    pango_layout_xy_to_index(placed.layout.get(), int((p.x - placed.origin.x) * PANGO_SCALE),
                             int((p.y - placed.origin.y) * PANGO_SCALE), &index, &trailing);
    std::size_t i = std::min(std::size_t(std::max(0, index)), text.size());
    for (; trailing > 0 && i < text.size(); --trailing) {
        ++i;
        while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
    }
    return i;
}

void highlightRange(cairo_t* cr, const PlacedLayout& placed, std::size_t from, std::size_t to, Color color) {
    if (from >= to) return;
    PangoLayoutIter* iter = pango_layout_get_iter(placed.layout.get());
    do {
        PangoLayoutLine* line = pango_layout_iter_get_line_readonly(iter);
        int y0 = 0, y1 = 0;
        pango_layout_iter_get_line_yrange(iter, &y0, &y1);
        PangoRectangle lineLogical;
        pango_layout_iter_get_line_extents(iter, nullptr, &lineLogical);
        int* ranges = nullptr;
        int count = 0;
        pango_layout_line_get_x_ranges(line, int(from), int(to), &ranges, &count);
        for (int i = 0; i < count; ++i) {
            const double a = ranges[2 * i] / double(PANGO_SCALE), b = ranges[2 * i + 1] / double(PANGO_SCALE);
            cairo_rectangle(cr, placed.origin.x + a, placed.origin.y + y0 / double(PANGO_SCALE), b - a, (y1 - y0) / double(PANGO_SCALE));
        }
        g_free(ranges);
    } while (pango_layout_iter_next_line(iter));
    pango_layout_iter_free(iter);
    cairo_set_source_rgba(cr, color.r, color.g, color.b, color.a);
    cairo_fill(cr);
}

void drawText(cairo_t* cr, const std::string& text, const TextStyle& style, Rect frame, const Paint& paint,
              double fontScale) {
    const PlacedLayout placed = placeLayout(text, style, frame, fontScale);
    cairo_save(cr);
    cairo_move_to(cr, placed.origin.x, placed.origin.y);
    if (std::holds_alternative<Color>(paint)) {
        const Color& c = std::get<Color>(paint);
        cairo_set_source_rgba(cr, c.r, c.g, c.b, c.a);
        pango_cairo_show_layout(cr, placed.layout.get());
    } else {
        pango_cairo_layout_path(cr, placed.layout.get());
        setSourcePaint(cr, paint, frame);
        cairo_fill(cr);
    }
    cairo_restore(cr);
}

double lineHeight(const Font& font) {
    TextStyle style;
    style.font = font;
    return measureText("Ag", style, std::nullopt).size.height;
}

void resetFontCaches() {
    PangoContext*& context = layoutContextSlot();
    if (context) g_object_unref(context);
    context = nullptr;
    pango_cairo_font_map_set_default(nullptr);
    ++fontGenerationSlot();
}

unsigned fontGeneration() { return fontGenerationSlot(); }

std::string resolvedFamily(const Font& font) {
    PangoFontDescription* description = newFontDescription(font);
    PangoFont* loaded = pango_font_map_load_font(pango_cairo_font_map_get_default(), layoutContext(), description);
    pango_font_description_free(description);
    if (!loaded) return {};
    PangoFontDescription* actual = pango_font_describe(loaded);
    std::string family = pango_font_description_get_family(actual) ? pango_font_description_get_family(actual) : "";
    pango_font_description_free(actual);
    g_object_unref(loaded);
    return family;
}

}  // namespace ui
