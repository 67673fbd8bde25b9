// AudioUnitHostModel: loading, the published view model, the derived flags
// and validation (instance invalidation: see the window tests).

#include <gtest/gtest.h>

#include <thread>

#include "AudioUnitHostModel.hpp"
#include "HostTestSupport.hpp"
#include "audiounit/AudioComponentInstanceInvalidation.hpp"

using namespace hosttest;

namespace {

// A validation that answers from another thread, like the platform's.
struct FakeValidation {
    AudioComponentValidationResult result = kAudioComponentValidationResult_Passed;
    nlohmann::json results = {{"Output", {"first line", "second line"}}};
    int calls = 0;
    nlohmann::json options;
    audiounit::AVAudioUnitComponentPtr component;

    AudioComponentValidateFunction function() {
        return [this](const audiounit::AVAudioUnitComponentPtr& validated, const nlohmann::json& passed,
                      AudioComponentValidationCallback callback) {
            ++calls;
            options = passed;
            component = validated;
            std::thread([callback, r = result, res = results] { callback(r, res); }).detach();
        };
    }
};

AudioUnitHostModel::Configuration modelConfiguration(FakeValidation& validation) {
    AudioUnitHostModel::Configuration configuration;
    configuration.engine = engineConfiguration();
    configuration.validate = validation.function();
    return configuration;
}

TEST(HostModel, StartsUnloadedAndLoadsTheEffectOnTheMainThread) {
    FakeValidation validation;
    auto model = AudioUnitHostModel::make("aufx", "dmds", "QVRN", modelConfiguration(validation));
    EXPECT_EQ(model->viewModel().title, "-");
    EXPECT_EQ(model->viewModel().message, "No Audio Unit loaded..");
    EXPECT_FALSE(model->viewModel().showAudioControls);
    EXPECT_FALSE(model->viewModel().showMIDIContols);
    EXPECT_FALSE(model->viewModel().viewController);
    EXPECT_FALSE(model->audioUnitCrashed());
    EXPECT_FALSE(model->validationResult());
    EXPECT_FALSE(model->currentValidationData());
    EXPECT_EQ(model->auValString, "aufx dmds QVRN");
    EXPECT_EQ(model->instanceInvalidationNotifcation, audiounit::kAudioComponentInstanceInvalidationNotification);

    // The window sees the loaded view model before any validation result.
    std::vector<std::string> order;
    model->viewModel.subscribe([&](const AudioUnitViewModel&) { order.push_back("viewModel"); });
    model->validationResult.subscribe([&](const auto&) { order.push_back("validationResult"); });
    model->currentValidationData.subscribe([&](const auto&) { order.push_back("currentValidationData"); });

    testing::internal::CaptureStdout();
    ASSERT_TRUE(pumpUntil([&] { return model->currentValidationData().has_value(); }));
    const std::string printed = testing::internal::GetCapturedStdout();

    EXPECT_EQ(order, (std::vector<std::string>{"viewModel", "validationResult", "currentValidationData"}));
    const auto& loaded = model->viewModel();
    EXPECT_EQ(loaded.title, "aufx dmds QVRN");
    EXPECT_EQ(loaded.message, "Successfully loaded (aufx dmds QVRN)");
    EXPECT_TRUE(loaded.showAudioControls);
    EXPECT_FALSE(loaded.showMIDIContols);
    ASSERT_TRUE(model->playEngine->avAudioUnit());
    EXPECT_EQ(loaded.viewController,
              std::dynamic_pointer_cast<ui::NSViewController>(model->playEngine->avAudioUnit()->principalObject()));

    EXPECT_EQ(validation.calls, 1);
    EXPECT_EQ(validation.options, (nlohmann::json{{"ForceValidation", true}}));
    EXPECT_EQ(validation.component, model->playEngine->avAudioUnit()->component());
    EXPECT_EQ(model->validationResult(), kAudioComponentValidationResult_Passed);
    EXPECT_EQ(model->currentValidationData(), "first line\nsecond line");
    EXPECT_NE(printed.find("first line\nsecond line\n"), std::string::npos) << printed;

    // An effect does not start by itself.
    EXPECT_FALSE(model->playEngine->isPlaying());
}

TEST(HostModel, ValidationTextJoinsTheOutputLinesAndUnusableOutputSaysValidationProbablyCrashed) {
    using nlohmann::json;
    EXPECT_EQ(validationOutputText(json{{"Output", {"first line", "second line"}}}), "first line\nsecond line");
    EXPECT_EQ(validationOutputText(json{{"Output", {"only"}}, {"Other", 3}}), "only");
    EXPECT_EQ(validationOutputText(json{{"Output", json::array()}}), "");
    for (const json& unusable : {json::object(), json::array({"a"}), json("Output"), json(),
                                 json{{"Other", {"a"}}}, json{{"Output", "one line"}},
                                 json{{"Output", {"a", 2}}}}) {
        EXPECT_EQ(validationOutputText(unusable), "Validation probably crashed") << unusable.dump();
    }
    FakeValidation validation;
    validation.result = kAudioComponentValidationResult_Failed;
    validation.results = json::object();
    auto model = AudioUnitHostModel::make("aufx", "dmds", "QVRN", modelConfiguration(validation));
    testing::internal::CaptureStdout();
    ASSERT_TRUE(pumpUntil([&] { return model->currentValidationData().has_value(); }));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Validation probably crashed\n");
    EXPECT_EQ(model->validationResult(), kAudioComponentValidationResult_Failed);
    EXPECT_EQ(model->currentValidationData(), "Validation probably crashed");
}

TEST(HostModel, TheTypeDecidesAudioMIDIAndFreeRunning) {
    struct Row {
        const char* type;
        bool audio, midi, freeRunning;
    };
    for (const Row row : {Row{"aufx", true, false, false}, Row{"aumf", true, true, false},
                          Row{"aumu", false, true, true}, Row{"aumi", false, true, true},
                          Row{"augn", false, false, true}, Row{"auf", false, false, false},
                          Row{"aufxx", false, false, false}, Row{"a\xC3\xBC" "fx", false, false, false},
                          Row{"a\xFC" "fx", false, false, false}, Row{"", false, false, false}}) {
        EXPECT_EQ(AudioUnitHostModel::typeWantsAudio(row.type), row.audio) << row.type;
        EXPECT_EQ(AudioUnitHostModel::typeWantsMIDI(row.type), row.midi) << row.type;
        EXPECT_EQ(AudioUnitHostModel::typeIsFreeRunning(row.type), row.freeRunning) << row.type;
    }
    // The model's own fields, for a model that is gone before it loads anything.
    FakeValidation validation;
    for (const Row row : {Row{"aufx", true, false, false}, Row{"aumf", true, true, false},
                          Row{"aumu", false, true, true}, Row{"a\xC3\xBC" "fx", false, false, false}}) {
        auto model = AudioUnitHostModel::make(row.type, "dmds", "QVRN", modelConfiguration(validation));
        EXPECT_EQ(model->wantsAudio, row.audio) << row.type;
        EXPECT_EQ(model->wantsMIDI, row.midi) << row.type;
        EXPECT_EQ(model->isFreeRunning, row.freeRunning) << row.type;
    }
    pumpFor(std::chrono::milliseconds(20));
    EXPECT_EQ(validation.calls, 0);
}

}  // namespace
