// The real effect through the out-of-process proxy against the same effect in process, on one service.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "AllocationCounter.hpp"
#include "OopTestSupport.hpp"
#include "audiounit/AUAudioUnitProxy.hpp"
#include "audiounitui/AUOutOfProcessViewController.hpp"
#include "audiounitui/AUViewController.hpp"

using namespace audiounit;
using namespace ooptest;
using nlohmann::json;

namespace {

json description(AUAudioUnit& unit) {
    json d = {{"channels", unit.channelCapabilities()},
              {"frames", unit.maximumFramesToRender()},
              {"bypass", unit.shouldBypassEffect()},
              {"preset", unit.currentPreset() ? unit.currentPreset()->name() : ""}};
    for (const auto& busses : {unit.inputBusses(), unit.outputBusses()})
        for (NSInteger i = 0; i < busses->count(); ++i) {
            const auto& bus = *(*busses)[i];
            d["busses"].push_back({bus.maximumChannelCount(), bus.format()->sampleRate(), bus.format()->channelCount()});
        }
    for (const auto& preset : unit.factoryPresets()) d["presets"].push_back({preset->number(), preset->name()});
    for (const auto& p : unit.parameterTree()->allParameters()) {
        const AUValue probe = p->minValue() + 0.327f * (p->maxValue() - p->minValue());
        d["parameters"].push_back({p->keyPath(), p->address(), p->displayName(), p->minValue(), p->maxValue(),
                                   p->value(), p->stringFromValue(probe)});
    }
    return d;
}

bool showsText(const json& tree, const std::string& text) {
    return tree.dump().find("\"text\":\"" + text + "\"") != std::string::npos;
}

std::shared_ptr<ui::NSViewController> editorOf(const AVAudioUnit& node) {
    std::shared_ptr<ui::NSViewController> controller;
    requestViewController(node, [&](std::shared_ptr<ui::NSViewController> c) { controller = std::move(c); });
    pumpUntil([] { return false; }, std::chrono::milliseconds(50));  // the effect's editor sizes itself on the main queue
    return controller;
}

}  // namespace

TEST(OutOfProcess, TheProxyIsTheUnitInProcess) {
    const auto effect = AudioComponentRegistry::shared().findComponent(kEffect);
    const auto localNode = testsupport::instantiateOnMainQueue(effect, kAudioComponentInstantiation_LoadInProcess).unit;
    const auto remoteNode = testsupport::instantiateOnMainQueue(effect, kAudioComponentInstantiation_LoadOutOfProcess).unit;
    ASSERT_TRUE(localNode && remoteNode);
    auto& local = *localNode->auAudioUnit();
    const auto proxyPointer = std::dynamic_pointer_cast<AUAudioUnitProxy>(remoteNode->auAudioUnit());
    ASSERT_TRUE(proxyPointer);
    auto& proxy = *proxyPointer;
    const auto tree = proxy.parameterTree();

    const auto described = description(proxy);
    EXPECT_EQ(described, description(local));
    EXPECT_EQ(described["busses"][1], json({2, 44100.0, 2}));
    EXPECT_EQ(tree->allParameters()[0]->stringFromValue(std::nullopt), "-");
    foundation::NSError error;
    ASSERT_TRUE((*proxy.inputBusses())[0]->setFormat(AVAudioFormat::makeStandard(48000, 1), &error));
    EXPECT_FALSE(proxy.allocateRenderResources(&error));
    EXPECT_EQ(error.code, kAudioUnitErr_FailedInitialization);

    // Offscreen, at half the preferred size and twice the pixels, the editor as it draws in process.
    const auto remoteEditor = editorOf(*remoteNode), localEditor = editorOf(*localNode);
    ASSERT_TRUE(std::dynamic_pointer_cast<AUOutOfProcessViewController>(remoteEditor));
    ASSERT_TRUE(localEditor && !std::dynamic_pointer_cast<AUOutOfProcessViewController>(localEditor));
    EXPECT_EQ(remoteEditor->preferredContentSize(), (ui::Size{720, 600}));
    remoteEditor->view()->setFrame({0, 0, 360, 300});
    localEditor->view()->setFrame({0, 0, 360, 300});
    const ui::Image remoteImage = remoteEditor->view()->render(2), localImage = localEditor->view()->render(2);
    ASSERT_EQ(std::pair(remoteImage.width(), remoteImage.height()), std::pair(720, 600));
    ASSERT_EQ(std::pair(localImage.width(), localImage.height()), std::pair(720, 600));
    int differing = 0;
    for (int y = 0; y < 600; y += 3)
        for (int x = 0; x < 720; x += 3) differing += !(remoteImage.pixel(x, y) == localImage.pixel(x, y));
    EXPECT_EQ(differing, 0);
    tree->parameterWithAddress(0)->setValue(20.0f);
    local.parameterTree()->parameterWithAddress(0)->setValue(20.0f);
    EXPECT_TRUE(pumpUntil([&] { return showsText(remoteEditor->view()->inspect(), "Drive: 20.00"); }));

    // Bit for bit under automation, presets and writes; the proxy allocates nothing after the first cycle.
    proxy.setRenderDeadline(std::chrono::seconds(5));  // offline: no cycle budget
    ASSERT_TRUE(prepare(local, 512));
    ASSERT_TRUE(prepare(proxy, 512));
    const std::uint32_t total = 48000;
    const auto input = guitarLikeInput(2, total);
    Driver localDriver(input), proxyDriver(input);
    const std::uint32_t sizes[] = {64, 256, 100, 512, 37, 128};
    const auto drive = local.parameterTree()->parameterForKeyPath("global.drive");
    ASSERT_TRUE(drive);
    std::size_t allocations = 0;
    for (int cycle = 0; localDriver.position < total; ++cycle) {
        const std::uint32_t frames = std::min(sizes[cycle % 6], total - localDriver.position);
        const auto start = static_cast<AUEventSampleTime>(localDriver.position);
        const auto value = static_cast<AUValue>(10 + (cycle * 7) % 90);
        const auto automate = [&](AUAudioUnit& unit) {
            if (cycle % 5 != 1) return;
            unit.scheduleParameterBlock()(start + frames / 3, 0, drive->address(), value);
            unit.scheduleParameterBlock()(start + frames / 2, frames / 4, 5, 100 - value);
        };
        if (cycle % 40 == 20) {
            const auto index = static_cast<std::size_t>(cycle / 40) % local.factoryPresets().size();
            local.setCurrentPreset(local.factoryPresets()[index]);
            proxy.setCurrentPreset(proxy.factoryPresets()[index]);
        }
        if (cycle % 40 == 30) {
            local.parameterTree()->parameterWithAddress(13)->setValue(cycle % 80 == 30 ? 1.0f : 0.0f);
            tree->parameterWithAddress(13)->setValue(cycle % 80 == 30 ? 1.0f : 0.0f);
            (void)proxy.currentPreset();
        }
        automate(local);
        ASSERT_EQ(localDriver.cycle(local.renderBlock(), frames), noErr);
        rtcheck::ScopedAllocationCounter counter;
        automate(proxy);
        ASSERT_EQ(proxyDriver.cycle(proxy.renderBlock(), frames), noErr);
        if (cycle > 0) allocations += counter.stop().total();
    }
    EXPECT_EQ(allocations, 0u);
    EXPECT_EQ(proxy.missedCycleCount(), 0u);
    double energy = 0;
    for (std::uint32_t c = 0; c < 2; ++c)
        for (std::uint32_t i = 0; i < total; ++i) {
            ASSERT_EQ(std::memcmp(&proxyDriver.output[c][i], &localDriver.output[c][i], sizeof(float)), 0)
                << "channel " << c << " frame " << i;
            energy += localDriver.output[c][i] * localDriver.output[c][i];
        }
    EXPECT_GT(energy, 1.0);  // the comparison is of sound, not of silence
    EXPECT_EQ(proxy.fullState(), local.fullState());

    // The mirror both ways: the writer is not told its own change and nothing echoes back from the service.
    std::atomic<int> toldWriter{0};
    const auto writer = tree->tokenByAddingParameterObserver([&](AUParameterAddress, AUValue) { toldWriter.fetch_add(1); });
    tree->parameterWithAddress(0)->setValue(42.0f, writer);
    EXPECT_EQ(proxy.fullState()["parameters"]["0"].get<double>(), 42.0);  // the service has answered since
    EXPECT_EQ(toldWriter.load(), 0);
    tree->removeParameterObserver(writer);
    proxy.setCurrentPreset(proxy.factoryPresets()[1]);  // its values reach the mirror before the next answer
    const auto afterPreset = proxy.fullState();
    for (const auto& p : tree->allParameters())
        EXPECT_EQ(p->value(), afterPreset["parameters"][std::to_string(p->address())].get<AUValue>()) << p->keyPath();

    int allChanged = 0;
    const auto token = proxy.observeAllParameterValues([&] { ++allChanged; });
    auto state = local.fullState();
    state["parameters"]["3"] = 12.0;
    state["preset"] = nullptr;
    ASSERT_TRUE(proxy.setFullState(state, &error)) << error.description;
    EXPECT_EQ(tree->parameterWithAddress(3)->value(), 12.0f);
    EXPECT_EQ(allChanged, 1);
    EXPECT_EQ(proxy.fullState(), state);
    proxy.setHangTimeout(std::chrono::seconds(20));  // room for sanitizer builds
    state["parameters"]["3"] = 20.0;
    state["notes"] = std::string(1'200'000, 'n');
    ASSERT_TRUE(proxy.setFullState(state, &error)) << error.description;
    EXPECT_EQ(tree->parameterWithAddress(3)->value(), 20.0f);
    state["notes"] = std::string(16u << 20, 'n');
    EXPECT_FALSE(proxy.setFullState(state, &error));
    EXPECT_EQ(error.code, kAudioUnitErr_InvalidPropertyValue);
    EXPECT_THAT(error.description,
                ::testing::MatchesRegex("The request is too large for the audio unit's service \\(167[0-9]{5} bytes; "
                                        "at most 16 MiB\\)"));
    EXPECT_EQ(proxy.fullState()["parameters"]["3"], 20.0);  // the service goes on
    proxy.removeAllParameterValuesObserver(token);

    proxy.killServiceForTesting();
    ASSERT_TRUE(pumpUntil([&] { return remoteEditor->view()->inspect()["children"].empty(); }, std::chrono::seconds(10)));
    const ui::Color reserved = remoteEditor->view()->render(1).pixel(180, 150);
    EXPECT_NEAR(reserved.r, 0.12, 0.01);
    EXPECT_NEAR(reserved.g, 0.12, 0.01);
}
