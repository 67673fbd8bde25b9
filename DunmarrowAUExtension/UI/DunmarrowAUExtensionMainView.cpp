#include "DunmarrowAUExtensionMainView.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "FontLoader.hpp"
#include "ParameterSlider.hpp"

namespace {

using ui::Color;
using ui::Font;
using ui::FontDesign;
using ui::FontWeight;

ui::Shape roundedRect(double radius) { return ui::Shape{ui::ShapeKind::roundedRectangle, radius}; }

ui::View labelText(const char* label) {
    return ui::Text(label)
        .font(Font::system(11, FontWeight::black, FontDesign::monospaced))
        .tracking(2)
        .foregroundStyle(Color::white().opacity(0.82));
}

}  // namespace

DunmarrowAUExtensionMainView::DunmarrowAUExtensionMainView(std::shared_ptr<ObservableAUParameterGroup> parameterTree,
                                                           std::shared_ptr<DunmarrowAUExtensionAudioUnit> audioUnit)
    : parameterTree_(std::move(parameterTree)), audioUnit_(std::move(audioUnit)) {
    if (audioUnit_) {
        std::weak_ptr<DunmarrowAUExtensionAudioUnit> unit = audioUnit_;
        readLevels_ = [unit]() -> std::optional<std::pair<float, float>> {
            auto strong = unit.lock();
            if (!strong) return std::nullopt;
            return std::pair{strong->inputLevel(), strong->outputLevel()};
        };
    }
}

DunmarrowAUExtensionMainView::DunmarrowAUExtensionMainView(std::shared_ptr<ObservableAUParameterGroup> parameterTree,
                                                           LevelReader readLevels,
                                                           std::map<std::string, std::string> unavailable)
    : parameterTree_(std::move(parameterTree)), readLevels_(std::move(readLevels)), unavailable_(std::move(unavailable)) {}

DunmarrowAUExtensionMainView::~DunmarrowAUExtensionMainView() { stopMeterTimer(); }

void DunmarrowAUExtensionMainView::updateMeters() {
    const float decayedIn = inputLevel_.peek() * meterDecay;
    const float decayedOut = outputLevel_.peek() * meterDecay;
    auto levels = readLevels_ ? readLevels_() : std::nullopt;
    if (levels) {
        inputLevel_.set(std::max(levels->first, decayedIn));
        outputLevel_.set(std::max(levels->second, decayedOut));
    } else {
        inputLevel_.set(decayedIn);
        outputLevel_.set(decayedOut);
    }
}

double DunmarrowAUExtensionMainView::meterFraction(float level) {
    if (std::isnan(level)) return 0;
    return std::clamp(static_cast<double>(level), 0.0, 1.0);
}

void DunmarrowAUExtensionMainView::startMeterTimer() {
    if (meterTimer_) return;
    std::weak_ptr<Component> weakSelf = weak_from_this();
    // Main thread, every 1/30 s while the view is on screen.
    meterTimer_ = foundation::Timer::scheduledTimer(meterInterval, true, [weakSelf](foundation::Timer& timer) {
        auto self = std::static_pointer_cast<DunmarrowAUExtensionMainView>(weakSelf.lock());
        if (!self) {
            timer.invalidate();
            return;
        }
        self->updateMeters();
    });
}

void DunmarrowAUExtensionMainView::stopMeterTimer() {
    if (meterTimer_) meterTimer_->invalidate();
    meterTimer_.reset();
}

ui::View DunmarrowAUExtensionMainView::body() {
    std::weak_ptr<Component> weakSelf = weak_from_this();
    auto canvas = content();
    return ui::GeometryReader([canvas](ui::Size size) {
               const double s = std::min(size.width / baseWidth, size.height / baseHeight);
               return ui::ZStack({
                          ui::View(Color::black()).ignoresSafeArea(),
                          canvas.frame(baseWidth, baseHeight).accessibilityIdentifier("canvas").scaleEffect(s),
                      })
                   .frame(size.width, size.height);
           })
        .frame(ui::FlexibleFrame{.idealWidth = baseWidth, .idealHeight = baseHeight})
        .onAppear([weakSelf] {
            auto self = std::static_pointer_cast<DunmarrowAUExtensionMainView>(weakSelf.lock());
            if (!self) return;
            if (!self->didRegisterFonts_.peek()) {
                registerEditorFont();
                self->didRegisterFonts_.set(true);
            }
            self->startMeterTimer();
        })
        .onDisappear([weakSelf] {
            if (auto self = std::static_pointer_cast<DunmarrowAUExtensionMainView>(weakSelf.lock())) self->stopMeterTimer();
        });
}

ui::View DunmarrowAUExtensionMainView::content() {
    auto panel = ui::VStack(ui::HorizontalAlignment::center, 7,
                            {
                                ui::HStack(ui::VerticalAlignment::center, columnSpacing,
                                           {meter("IN", inputLevel_).frame(columnWidth, {}),
                                            meter("OUT", outputLevel_).frame(columnWidth, {})}),
                                [&] {
                                    auto divider = [] {
                                        return ui::Rectangle()
                                            .fill(Color::white().opacity(0.12))
                                            .frame(1, 38)
                                            .padding(ui::Edge::horizontal, 5);
                                    };
                                    return ui::HStack(ui::VerticalAlignment::center, 0,
                                                      {effectControl("DECIMATION", "decimation"), divider(),
                                                       effectControl("DOUBLE TRACK", "doubleTrack"), divider(),
                                                       effectControl("STEREO SPREAD", "stereoSpread")})
                                        .padding(ui::Edge::horizontal, 12)
                                        .padding(ui::Edge::vertical, 5)
                                        .background(roundedRect(14), Color::black().opacity(0.34))
                                        .border(roundedRect(14), Color::white().opacity(0.09), 1);
                                }(),
                                ui::HStack(ui::VerticalAlignment::top, columnSpacing,
                                           {column({{"DRIVE", "drive"},
                                                    {"TOUCH", "touch"},
                                                    {"TIGHT", "tight"},
                                                    {"BODY", "body"},
                                                    {"CAB", "cab"}}),
                                            column({{"BITE", "bite"},
                                                    {"GRIND", "grind"},
                                                    {"CRUSH", "crush"},
                                                    {"DENSITY", "density"},
                                                    {"OUTPUT", "gain"}})}),
                            })
                     .padding(10)
                     .background(roundedRect(22), Color::white().opacity(0.025))
                     .border(roundedRect(22), Color::white().opacity(0.10), 1);

    auto footer = ui::Text("8X OVERSAMPLED DIGITAL DISTORTION")
                      .font(Font::system(8, FontWeight::medium, FontDesign::monospaced))
                      .tracking(1.5)
                      .foregroundStyle(Color::gray().opacity(0.80));

    return ui::ZStack({
        ui::View(Color::black()).ignoresSafeArea(),
        ui::VStack(ui::HorizontalAlignment::center, 5, {header(), panel, footer})
            .padding(ui::Edge::horizontal, 28)
            .padding(ui::Edge::vertical, 10),
    });
}

ui::View DunmarrowAUExtensionMainView::header() {
    const ui::Paint titleFill =
        ui::LinearGradient{Color::white().opacity(0.72), Color::gray().opacity(0.42), ui::UnitPoint::top(),
                           ui::UnitPoint::bottom()};
    auto titlePart = [&](const char* text, double size) {
        return ui::Text(text).font(Font::custom("Glimra", size)).tracking(3);
    };
    auto title = ui::HStack(ui::VerticalAlignment::firstTextBaseline, 2,
                            {titlePart("D", 64), titlePart("unmarro", 52), titlePart("w", 64)})
                     .foregroundStyle(titleFill)
                     .frame({}, 72)
                     .offset(0, -4);
    auto subtitle = ui::Text("HIGH-GAIN GUITAR DISTORTION")
                        .font(Font::system(9, FontWeight::semibold, FontDesign::rounded))
                        .tracking(2)
                        .foregroundStyle(Color::gray());
    auto titleBlock = ui::VStack(ui::HorizontalAlignment::center, 5, {title, subtitle})
                          .frame(ui::FlexibleFrame{.maxWidth = std::numeric_limits<double>::infinity()});

    auto liveSafe = parameterTree_->lookupNode("global")->lookupParameter("liveSafe");
    auto liveSafeSwitch =
        ui::Toggle("LIVE SAFE", ui::Binding<bool>([liveSafe] { return liveSafe->value() >= 0.5f; },
                                                  [liveSafe](bool on) { liveSafe->setValue(on ? 1.0f : 0.0f); }))
            .toggleStyle(ui::ToggleStyle::switchToggle)
            .font(Font::system(11, FontWeight::black, FontDesign::monospaced))
            .tracking(1.4)
            .foregroundStyle(Color::white().opacity(0.78))
            .tint(ParameterSlider::accentColor)
            .padding(ui::Edge::horizontal, 4);

    return ui::ZStack(ui::Alignment::bottomTrailing(),
                      {titleBlock, liveSafeSwitch.padding(ui::Edge::trailing, 12).padding(ui::Edge::bottom, 4)})
        .frame(2 * columnWidth + columnSpacing + 28, {});
}

ui::View DunmarrowAUExtensionMainView::meter(const char* label, const ui::State<float>& level) {
    const double fraction = meterFraction(level.get());
    const std::string barIdentifier = std::string(label) + " bar";
    auto bar = ui::GeometryReader([fraction, barIdentifier](ui::Size size) {
        return ui::ZStack(ui::Alignment::leading(),
                          {
                              ui::RoundedRectangle(4).fill(Color::black().opacity(0.78)),
                              ui::RoundedRectangle(4)
                                  .fill(ui::LinearGradient{Color::sRGB(0.28, 0, 0.015), Color::sRGB(0.62, 0, 0.03),
                                                           ui::UnitPoint::leading(), ui::UnitPoint::trailing()})
                                  .frame(size.width * fraction, {})
                                  .accessibilityIdentifier(barIdentifier),
                          });
    });
    return ui::HStack(ui::VerticalAlignment::center, 8,
                      {ui::Text(label)
                           .font(Font::system(10, FontWeight::bold, FontDesign::monospaced))
                           .foregroundStyle(Color::white().opacity(0.68))
                           .frame(28, {}, ui::Alignment::trailing()),
                       bar.frame({}, 8).border(roundedRect(4), Color::white().opacity(0.10), 1)})
        .padding(ui::Edge::horizontal, 14);
}

ui::View DunmarrowAUExtensionMainView::effectControl(const char* label, const char* identifier) {
    if (const auto note = unavailable_.find(identifier); note != unavailable_.end()) {
        return ui::VStack(ui::HorizontalAlignment::center, 3,
                          {ui::Text(label)
                               .font(Font::system(11, FontWeight::black, FontDesign::monospaced))
                               .tracking(2)
                               .foregroundStyle(Color::white().opacity(0.3)),
                           ui::Text(note->second)
                               .font(Font::system(10, FontWeight::medium, FontDesign::monospaced))
                               .foregroundStyle(Color::gray().opacity(0.6))})
            .frame(effectsControlWidth, {})
            .accessibilityIdentifier(std::string("effect.") + identifier + " unavailable");
    }
    auto slider = keep<ParameterSlider>(std::string("effect.") + identifier,
                                        parameterTree_->lookupNode("global")->lookupParameter(identifier), true);
    return ui::VStack(ui::HorizontalAlignment::center, 1, {labelText(label), ui::View(slider).frame(150, {})})
        .frame(effectsControlWidth, {});
}

ui::View DunmarrowAUExtensionMainView::columnRow(const char* label, const char* identifier) {
    auto slider = keep<ParameterSlider>(std::string("row.") + identifier,
                                        parameterTree_->lookupNode("global")->lookupParameter(identifier), false);
    return ui::VStack(ui::HorizontalAlignment::center, 2, {labelText(label), ui::View(slider).frame(240, {})})
        .padding(ui::Edge::horizontal, 10)
        .padding(ui::Edge::vertical, 3)
        .background(roundedRect(12), Color::black().opacity(0.45))
        .border(roundedRect(12), Color::white().opacity(0.08), 1);
}

ui::View DunmarrowAUExtensionMainView::column(const std::vector<std::pair<const char*, const char*>>& rows) {
    std::vector<ui::View> views;
    for (const auto& [label, identifier] : rows) views.push_back(columnRow(label, identifier));
    return ui::VStack(ui::HorizontalAlignment::center, 6, std::move(views))
        .padding(ui::Edge::horizontal, 14)
        .padding(ui::Edge::vertical, 10)
        .background(roundedRect(20), Color::black().opacity(0.55))
        .border(roundedRect(20), Color::white().opacity(0.13), 1)
        .frame(columnWidth, {});
}
