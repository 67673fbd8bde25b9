#pragma once
// The effect's whole editor: a 720 x 600 design canvas on black, scaled
// uniformly to the size the host gives it, with the title, the Live Safe
// switch, the input and output meters, the three effect sliders and two
// columns of five sliders, each bound to one node of the observable tree.
// Main thread only.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "DunmarrowAUExtensionAudioUnit.hpp"
#include "ObservableAUParameter.hpp"
#include "foundation/Timer.hpp"
#include "ui/View.hpp"

class DunmarrowAUExtensionMainView final : public ui::Component {
public:
    // The (input, output) levels now, or nothing when there is no audio unit to read.
    using LevelReader = std::function<std::optional<std::pair<float, float>>()>;

    static constexpr double columnWidth = 292;
    static constexpr double columnSpacing = 22;
    static constexpr double effectsControlWidth = 180;
    static constexpr double baseWidth = 720;
    static constexpr double baseHeight = 600;
    static constexpr float meterDecay = 0.86f;
    static constexpr double meterInterval = 1.0 / 30.0;

    // audioUnit may be null: the controls still work, the meters fall to zero.
    DunmarrowAUExtensionMainView(std::shared_ptr<ObservableAUParameterGroup> parameterTree,
                                 std::shared_ptr<DunmarrowAUExtensionAudioUnit> audioUnit);
    // The same with another source of levels. An effect-row control named in
    // `unavailable` (identifier to a short note) shows as unavailable, with
    // the note, instead of as a slider: for a variant of the effect where the
    // parameter does nothing (Stereo Spread with one channel).
    DunmarrowAUExtensionMainView(std::shared_ptr<ObservableAUParameterGroup> parameterTree, LevelReader readLevels,
                                 std::map<std::string, std::string> unavailable = {});
    ~DunmarrowAUExtensionMainView() override;

    ui::View body() override;
    [[nodiscard]] std::string typeName() const override { return "DunmarrowAUExtensionMainView"; }

    // One meter tick: a rise shows at once, a fall decays by meterDecay per tick.
    void updateMeters();
    [[nodiscard]] float inputLevel() const { return inputLevel_.peek(); }
    [[nodiscard]] float outputLevel() const { return outputLevel_.peek(); }
    // The displayed level as a fraction of the bar: clamped to 0 ... 1.
    [[nodiscard]] static double meterFraction(float level);

private:
    ui::View content();
    ui::View header();
    ui::View meter(const char* label, const ui::State<float>& level);
    ui::View effectControl(const char* label, const char* identifier);
    ui::View columnRow(const char* label, const char* identifier);
    ui::View column(const std::vector<std::pair<const char*, const char*>>& rows);
    void startMeterTimer();
    void stopMeterTimer();

    std::shared_ptr<ObservableAUParameterGroup> parameterTree_;
    std::shared_ptr<DunmarrowAUExtensionAudioUnit> audioUnit_;
    LevelReader readLevels_;
    std::map<std::string, std::string> unavailable_;
    ui::State<float> inputLevel_{0.0f};
    ui::State<float> outputLevel_{0.0f};
    ui::State<bool> didRegisterFonts_{false};
    std::shared_ptr<foundation::Timer> meterTimer_;
};
