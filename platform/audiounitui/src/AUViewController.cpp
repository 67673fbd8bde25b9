#include "audiounitui/AUViewController.hpp"

#include <string>

#include "audiounitui/AUOutOfProcessViewController.hpp"
#include "foundation/DispatchQueue.hpp"
#include "foundation/ThreadContract.hpp"
#include "ui/State.hpp"
#include "ui/View.hpp"

namespace audiounit {

// The generic editor's model: one observable value per parameter, kept in step
// with the parameter by an observer that hops to the main queue.
struct AUGenericViewController::Rows {
    struct Row {
        AUParameterPtr parameter;
        ui::State<double> value;
    };
    std::vector<Row> rows;
    AUParameterTreePtr tree;
    AUParameterObserverToken token;

    ~Rows() {
        if (tree && token) tree->removeParameterObserver(token);
    }
};

namespace {

ui::View rowView(const AUParameterPtr& parameter, const ui::State<double>& value, AUParameterObserverToken token) {
    const std::weak_ptr<AUParameter> weak = parameter;
    ui::Binding<double> binding(
        [value] { return value.get(); },
        [value, weak, token](double newValue) {
            value.set(newValue);
            if (const auto p = weak.lock()) p->setValue(static_cast<AUValue>(newValue), token);
        });
    return ui::HStack(ui::VerticalAlignment::center, 8,
                      {
                          ui::Text(parameter->displayName()).frame(160, {}, ui::Alignment::leading()),
                          ui::Slider(binding, parameter->minValue(), parameter->maxValue())
                              .accessibilityIdentifier(parameter->identifier())
                              .frame(220, {}),
                          ui::Dynamic([weak, value] {
                              const double v = value.get();
                              const auto p = weak.lock();
                              return ui::Text(p ? p->stringFromValue(static_cast<AUValue>(v)) : std::string())
                                  .frame(90, {}, ui::Alignment::trailing());
                          }),
                      });
}

}  // namespace

AUGenericViewController::AUGenericViewController() : ui::NSHostingController(ui::EmptyView()) {
    setPreferredContentSize({500, 300});
}

AUGenericViewController::~AUGenericViewController() = default;

void AUGenericViewController::setAuAudioUnit(std::shared_ptr<AUAudioUnit> unit) {
    DUNMARROW_ASSERT_MAIN_THREAD();
    auAudioUnit_ = std::move(unit);
    rows_.reset();
    const AUParameterTreePtr tree = auAudioUnit_ ? auAudioUnit_->parameterTree() : nullptr;
    if (!tree) {
        setRootView(ui::Text("This audio unit has no parameters"));
        return;
    }
    auto rows = std::make_shared<Rows>();
    rows->tree = tree;
    for (const auto& parameter : tree->allParameters())
        rows->rows.push_back({parameter, ui::State<double>(parameter->value())});

    // Thread: whichever thread set the value. Only hops to the main queue.
    const std::weak_ptr<Rows> weakRows = rows;
    rows->token = tree->tokenByAddingParameterObserver([weakRows](AUParameterAddress address, AUValue value) {
        foundation::DispatchQueue::main().async([weakRows, address, value] {
            const auto r = weakRows.lock();
            if (!r) return;
            for (auto& row : r->rows)
                if (row.parameter->address() == address) row.value.set(value);
        });
    });

    std::vector<ui::View> views;
    for (const auto& row : rows->rows) views.push_back(rowView(row.parameter, row.value, rows->token));
    rows_ = rows;
    const double height = 24.0 * static_cast<double>(views.size()) + 24;
    setPreferredContentSize({500, height < 300 ? height : 300});
    setRootView(ui::ScrollView(ui::VStack(ui::HorizontalAlignment::leading, 4, std::move(views)).padding(12)));
}

void requestViewController(const AVAudioUnit& unit, const ViewControllerCompletion& completion) {
    DUNMARROW_ASSERT_MAIN_THREAD();
    // A unit in its own process shows its editor there, embedded here.
    if (const auto proxy = std::dynamic_pointer_cast<AUAudioUnitProxy>(unit.auAudioUnit())) {
        std::shared_ptr<ui::NSViewController> controller;
        if (proxy->editorInfo().available) controller = std::make_shared<AUOutOfProcessViewController>(proxy);
        if (completion) completion(std::move(controller));
        return;
    }
    auto controller = std::dynamic_pointer_cast<ui::NSViewController>(unit.principalObject());
    if (completion) completion(std::move(controller));
}

}  // namespace audiounit
