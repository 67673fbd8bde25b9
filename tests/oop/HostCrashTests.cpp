// The host application's model with a unit that crashes in its service, end
// to end: the model marks the unit crashed once, the engine goes on rendering
// (silence where the unit was) and the main thread stays responsive.

#include <gtest/gtest.h>

#include "AudioUnitHostModel.hpp"
#include "HostTestSupport.hpp"
#include "audiounit/AUAudioUnitProxy.hpp"

using namespace hosttest;

TEST(HostWithCrashingUnit, TheModelShowsTheCrashAndTheHostKeepsRenderingSilence) {
    AudioUnitHostModel::Configuration configuration;
    configuration.engine = engineConfiguration(true);
    configuration.engine.instantiationOptions = audiounit::kAudioComponentInstantiation_LoadOutOfProcess;
    configuration.validate = [](const audiounit::AVAudioUnitComponentPtr&, const nlohmann::json&,
                                AudioComponentValidationCallback) {};
    auto model = AudioUnitHostModel::make("aufx", "crsh", "DmTs", configuration);
    ASSERT_TRUE(pumpUntil([&] { return model->playEngine->avAudioUnit.get() != nullptr; }, std::chrono::seconds(20)));
    const auto proxy =
        std::dynamic_pointer_cast<audiounit::AUAudioUnitProxy>(model->playEngine->avAudioUnit.get()->auAudioUnit());
    ASSERT_TRUE(proxy);
    const auto loudest = [&] {
        float loud = 0;
        for (const auto& channel : renderOffline(*model->playEngine, 4096))
            for (float v : channel) loud = std::max(loud, std::fabs(v));
        return loud;
    };
    model->playEngine->startPlaying();
    pumpFor(std::chrono::milliseconds(50));
    EXPECT_GT(loudest(), 0.01f);
    EXPECT_FALSE(model->audioUnitCrashed());

    proxy->parameterTree()->parameterWithAddress(0)->setValue(1);  // the unit's process ends
    ASSERT_TRUE(pumpUntil([&] { return model->audioUnitCrashed(); }, std::chrono::seconds(5)));
    EXPECT_EQ(model->audioUnitCrashed.publications(), 1u);
    EXPECT_EQ(loudest(), 0.0f);
    bool answered = false;
    foundation::DispatchQueue::main().async([&] { answered = true; });
    EXPECT_TRUE(pumpUntil([&] { return answered; }, std::chrono::milliseconds(500)));
    EXPECT_GT(proxy->missedCycleCount(), 0u);
    model->playEngine->stopPlaying();
}
