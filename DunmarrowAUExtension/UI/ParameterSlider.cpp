#include "ParameterSlider.hpp"

#include <charconv>
#include <cstdio>

std::string formatParameterValue(const ObservableAUParameter& param, float value) {
    char buffer[64];
    const bool midiNote = param.unit() == audiounit::kAudioUnitParameterUnit_MIDINoteNumber;
    std::snprintf(buffer, sizeof buffer, midiNote ? "%.0f" : "%.2f", static_cast<double>(value));
    return buffer;
}

std::optional<float> parseTypedValue(const std::string& text) {
    constexpr const char* kSpace = " \t\n\r\v\f";
    const auto first = text.find_first_not_of(kSpace);
    if (first == std::string::npos) return std::nullopt;
    const auto last = text.find_last_not_of(kSpace);
    const char* begin = text.data() + first;
    const char* end = text.data() + last + 1;
    float value = 0;
    auto [ptr, ec] = std::from_chars(begin, end, value);
    if (ec != std::errc() || ptr != end) return std::nullopt;
    return value;
}

struct ParameterSlider::Context {
    std::shared_ptr<ObservableAUParameter> param;
    ui::State<bool> isEditingValue;
    ui::State<std::string> valueText;
    ui::FocusState isValueFieldFocused;
};

ParameterSlider::ParameterSlider(std::shared_ptr<ObservableAUParameter> param, bool isCompact)
    : param_(std::move(param)), isCompact_(isCompact) {}

void ParameterSlider::commit(const Context& c) {
    if (!c.isEditingValue.peek()) return;  // a focus loss after Return must not commit twice
    if (auto typed = parseTypedValue(c.valueText.peek())) {
        float v = *typed;
        // NaN fails both comparisons and goes through as it is.
        if (v <= c.param->min()) v = c.param->min();
        if (c.param->max() < v) v = c.param->max();
        if (c.param->editingState() != ObservableAUParameter::EditingState::began) c.param->onEditingChanged(true);
        c.param->setValue(v);               // touch
        c.param->onEditingChanged(false);  // release
    } else {
        c.valueText.set(formatParameterValue(*c.param, c.param->value()));
    }
    c.isEditingValue.set(false);
    // The field goes away; its focus with it, so that the next field takes it again.
    c.isValueFieldFocused.set(false);
}

ui::View ParameterSlider::body() {
    const auto param = param_;
    const Context context{param_, isEditingValue_, valueText_, isValueFieldFocused_};
    const double valueFontSize = isCompact_ ? 11 : 10.5;

    ui::View slider =
        ui::Slider(ui::Binding<double>([param] { return static_cast<double>(param->value()); },
                                       [param](double v) { param->setValue(static_cast<float>(v)); }),
                   param->min(), param->max(), [param](bool editing) { param->onEditingChanged(editing); })
            .tint(accentColor)
            .accessibilityIdentifier(param->displayName());
    if (!isCompact_) {
        const auto endLabel = [&](float v) {
            return ui::Text(formatParameterValue(*param, v))
                .font(ui::Font::system(10))
                .foregroundStyle(ui::Color::gray().opacity(0.78));
        };
        slider = ui::HStack({endLabel(param->min()), slider.foregroundStyle(ui::Color::gray().opacity(0.82)),
                             endLabel(param->max())});
    }

    ui::View valueLine;
    if (!isEditingValue_.get()) {
        valueLine = ui::Text(param->displayName() + ": " + formatParameterValue(*param, param->value()))
                        .font(ui::Font::system(valueFontSize, ui::FontWeight::medium))
                        .foregroundStyle(ui::Color::gray().opacity(0.86))
                        .lineLimit(1)
                        .minimumScaleFactor(0.75)
                        .onTapGesture(2, [context] {
                            context.valueText.set(formatParameterValue(*context.param, context.param->value()));
                            context.isEditingValue.set(true);
                        });
    } else {
        const auto focus = isValueFieldFocused_;
        const auto fieldShape = ui::Shape{ui::ShapeKind::roundedRectangle, 6};
        valueLine = ui::TextField("", valueText_.binding())
                        .lineLimit(1)
                        .textFieldStyle(ui::TextFieldStyle::plain)
                        .multilineTextAlignment(ui::TextAlignment::center)
                        .focused(focus.binding())
                        .font(ui::Font::system(valueFontSize, ui::FontWeight::medium))
                        .foregroundStyle(ui::Color::white())
                        .padding(ui::Edge::horizontal, isCompact_ ? 5 : 8)
                        .padding(ui::Edge::vertical, 2)
                        .frame(isCompact_ ? 88 : 110, {})
                        .background(fieldShape, ui::Color::white().opacity(0.06))
                        .border(fieldShape, ui::Color::white().opacity(0.18), 1)
                        .onAppear([context, focus] {
                            context.valueText.set(formatParameterValue(*context.param, context.param->value()));
                            focus.set(true);
                        })
                        .onSubmit([context] { commit(context); })
                        .onExitCommand([context] {
                            context.valueText.set(formatParameterValue(*context.param, context.param->value()));
                            context.isEditingValue.set(false);
                            context.isValueFieldFocused.set(false);
                        })
                        .onChange<bool>(focus, [context](const bool& focused) {
                            if (!focused) commit(context);
                        });
    }

    return ui::VStack(ui::HorizontalAlignment::center, isCompact_ ? 2 : 1, {slider, valueLine})
        .padding(ui::Edge::horizontal, isCompact_ ? 5 : 6)
        .padding(ui::Edge::vertical, isCompact_ ? 2 : 1);
}
