#include "ValidationView.hpp"

#include <utility>

namespace {

constexpr double kBadgePadding = 4;
constexpr double kBadgeCornerRadius = 10;
constexpr double kOutputCornerRadius = 8;
constexpr double kOutputSpacing = 10;

}  // namespace

ValidationView::ValidationView(std::shared_ptr<AudioUnitHostModel> model, ui::Binding<bool> sheetPresented)
    : hostModel(std::move(model)), isSheetPresented(std::move(sheetPresented)) {
    watch_.watch(hostModel->validationResult);
    watch_.watch(hostModel->currentValidationData);
}

ui::View ValidationView::body() {
    const auto& result = hostModel->validationResult();
    // Read here so that a change of the owner's sheet state, from anywhere,
    // evaluates this body again and the sheet follows.
    const bool sheetShown = isSheetPresented.get();
    static_cast<void>(sheetShown);
    if (!result) return ui::EmptyView();
    const bool passed = *result == kAudioComponentValidationResult_Passed;
    return ui::Text(passed ? "Validation Passed" : "Validation Failed")
        .padding(kBadgePadding)
        .foregroundColor(ui::Color::black())
        .background(ui::RoundedRectangle(kBadgeCornerRadius).fill(passed ? ui::Color::green() : ui::Color::red()))
        .onTapGesture(1, [this] { toggleSheet(); })
        .accessibilityIdentifier(kBadgeIdentifier)
        .sheet(isSheetPresented, [this] { return sheetContent(); });
}

ui::View ValidationView::sheetContent() const {
    const auto& data = hostModel->currentValidationData();
    ui::View output =
        data ? ui::Text(*data)
                   .foregroundColor(ui::Color::primary())
                   .background(ui::View(ui::Color::gray().opacity(0.1)))
                   .clipShape(ui::Shape{ui::ShapeKind::roundedRectangle, kOutputCornerRadius})
                   .lineLimit(std::nullopt)
                   .frame(ui::FlexibleFrame{.maxWidth = ui::infinity})
                   .textSelection(true)
                   .accessibilityIdentifier(kOutputIdentifier)
             : ui::Text("Validation probably crashed").accessibilityIdentifier(kOutputIdentifier);
    return ui::VStack({
                          ui::Text("Close")
                              .padding(kBadgePadding)
                              .foregroundColor(ui::Color::primary())
                              .background(ui::RoundedRectangle(kBadgeCornerRadius).fill(ui::Color::gray().opacity(0.2)))
                              .onTapGesture(1, [this] { toggleSheet(); })
                              .accessibilityIdentifier(kCloseIdentifier),
                          ui::ScrollView(ui::VStack(ui::HorizontalAlignment::leading, kOutputSpacing, {output}).padding(),
                                         /*showsIndicators=*/true),
                      })
        .padding();
}
