#pragma once
// The validation badge and its results sheet. Shows nothing until the model
// has a validation result; then a badge, "Validation Passed" on green for
// passed (1) and "Validation Failed" on red for any other result, which a
// single click toggles the sheet with. The sheet holds a "Close" label that
// toggles it back and a scroll area with the validator's output, or
// "Validation probably crashed" when there is none. Main thread only.

#include <memory>

#include "AudioUnitHostModel.hpp"
#include "ModelWatch.hpp"
#include "ui/State.hpp"
#include "ui/View.hpp"

class ValidationView final : public ui::Component {
public:
    // Accessibility identifiers of the parts tests and tools look for.
    static constexpr const char* kBadgeIdentifier = "ValidationBadge";
    static constexpr const char* kCloseIdentifier = "ValidationClose";
    static constexpr const char* kOutputIdentifier = "ValidationOutput";

    ValidationView(std::shared_ptr<AudioUnitHostModel> model, ui::Binding<bool> sheetPresented);

    ui::View body() override;
    [[nodiscard]] std::string typeName() const override { return "ValidationView"; }

    const std::shared_ptr<AudioUnitHostModel> hostModel;
    // The owner's sheet state: reads and writes go there.
    const ui::Binding<bool> isSheetPresented;

private:
    void toggleSheet() const { isSheetPresented.set(!isSheetPresented.get()); }
    [[nodiscard]] ui::View sheetContent() const;

    ModelWatch watch_{*this};
};
