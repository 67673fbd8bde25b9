#pragma once
// The control for every continuous parameter: a slider over the parameter's
// range and, under it, a line "Name: value" that a double click turns into a
// field for typing a value. Compact (effect row) or regular (columns, with the
// range's ends labelled). Main thread only.

#include <memory>
#include <optional>
#include <string>

#include "ObservableAUParameter.hpp"
#include "ui/View.hpp"

// "%.0f" for MIDI note numbers, "%.2f" for everything else.
[[nodiscard]] std::string formatParameterValue(const ObservableAUParameter& param, float value);

// Reads a typed value: the whole text (after trimming white space and newlines)
// as a float in the C locale, exponent forms, inf and nan included. Nothing
// when the text is empty or has anything else in it.
[[nodiscard]] std::optional<float> parseTypedValue(const std::string& text);

class ParameterSlider final : public ui::Component {
public:
    ParameterSlider(std::shared_ptr<ObservableAUParameter> param, bool isCompact);

    ui::View body() override;
    [[nodiscard]] std::string typeName() const override { return "ParameterSlider"; }

    // The dark red of the slider track.
    static constexpr ui::Color accentColor = ui::Color::sRGB(0.45, 0, 0.025, 1);

private:
    struct Context;
    static void commit(const Context& context);

    std::shared_ptr<ObservableAUParameter> param_;
    bool isCompact_;
    ui::State<bool> isEditingValue_{false};
    ui::State<std::string> valueText_{std::string()};
    ui::FocusState isValueFieldFocused_{false};
};
