// The proxy against a stand-in service that lies: a bad description fails the launch, a later lie stops the
// service with the reason (what follows a stop is the crash and hang tests' concern).

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <utility>

#include "OopTestSupport.hpp"
#include "audiounit/AUAudioUnitProxy.hpp"

using namespace audiounit;
using namespace ooptest;

namespace {

const std::string kBus = R"({"op": "describe", "patch": {"outputBusses": [{"sampleRate": )";
const std::string kTree = R"({"op": "describe", "patch": {"parameterTree": {"children": [)";
std::string parameter(const char* address, const char* range = R"("min": 0, "max": 1)") {
    return std::string(R"({"kind": "parameter", "identifier": "a", "name": "a", "address": )") + address + ", " + range +
           R"(, "unit": 0, "flags": 0, "value": 0.5})";
}
std::string answer(const char* op, const std::string& packets) {
    return std::string(R"({"op": ")") + op + R"(", "packets": [)" + packets + "]}";
}
// An event, sent before the reply that lets it out.
std::string event(const std::string& event) { return answer("currentPreset", event + R"(, {"reply": "$id", "result": null})"); }
const std::string kNotOneObject = "a packet that is not one JSON object within the size and nesting limits";

}  // namespace

TEST(LyingService, EveryFieldIsCheckedAndALieStopsTheServiceLikeADeathWithTheReason) {
    ::setenv("DUNMARROW_AUDIO_UNIT_SERVICE", OOP_LYING_SERVICE, 1);
    const std::pair<std::string, std::string> lies[] = {
        {kBus + R"(48000, "channels": 4294967298, "maximumChannelCount": 2, "name": ""}]}})",
         "outputBusses[0].channels is not a whole number from 1 to 64"},
        {kBus + R"(1e-300, "channels": 2, "maximumChannelCount": 2, "name": ""}]}})",
         "outputBusses[0].sampleRate is not a number from 1000 to 1536000"},
        {R"({"op": "describe", "patch": {"maximumFramesToRender": 200000000}})",
         "maximumFramesToRender is not a whole number from 1 to 65536"},
        {kTree + parameter("0") + ", " + parameter("0") + "]}}}", "parameterTree.children[1].address 0 is used twice"},
        {kTree + parameter("0", R"("min": 1, "max": 0)") + "]}}}",
         "parameterTree.children[0].max is not a number from 1 to 3.402823466e+38"},
        {answer("describe", R"({"reply": "$id", "result": 5})"), "the message is not an object"},
        {answer("currentPreset", R"({"reply": "$id", "error": {"code": "x", "description": "no"}})"),
         "error.code is not a whole number from -2147483648 to 2147483647"},
        {answer("fullState", R"({"reply": "$id", "result": 5})"), "the state is not an object"},
        {answer("stringFromValue", R"({"reply": "$id", "result": 5})"), "the value text is not text"},
        {answer("valueFromString", R"({"reply": "$id", "result": 1e300})"),
         "the value is not a number from -3.402823466e+38 to 3.402823466e+38"},
        {answer("currentPreset", R"({"reply": "abc"})"), "reply is not a whole number from 0 to 18446744073709551615"},
        {answer("currentPreset", R"({"reply": 999999, "result": null})"),
         "a reply to request 999999, which is not waiting for one"},
        {answer("currentPreset", R"("{\"largePacket\": 100000}")"), kNotOneObject},
        {answer("currentPreset", R"({"hello": 1})"), "the packet is neither a reply nor an event"},
        {R"({"op": "fullState", "nested": 1000000})", kNotOneObject},  // would overflow a walking stack
        {event(R"({"event": "surprise"})"), "the event \"surprise\" is unknown"},
        {event(R"({"event": "parameter", "address": 99, "value": 1, "hostTime": 0, "eventType": 0})"),
         "a change of parameter 99, which the unit does not have"},
    };
    for (const auto& [script, problem] : lies) {
        SCOPED_TRACE(script);
        ::setenv("OOP_LIE", script.c_str(), 1);
        InvalidationWatch watch;
        foundation::NSError error;
        const auto proxy =
            AUAudioUnitProxy::launch(crashingComponent(), kAudioComponentInstantiation_LoadOutOfProcess, &error);
        const std::string op = nlohmann::json::parse(script)["op"];
        if (op == "describe") {
            EXPECT_FALSE(proxy);
            EXPECT_EQ(error.code, kAudioUnitErr_FailedInitialization);
            EXPECT_EQ(error.description, "The audio unit's service described the unit badly: " + problem);
            continue;
        }
        ASSERT_TRUE(proxy) << error.description;
        proxy->setHangTimeout(std::chrono::seconds(20));  // no lie here is a hang; room for sanitizer builds
        const auto parameter = proxy->parameterTree()->parameterWithAddress(0);
        if (op == "currentPreset") { EXPECT_FALSE(proxy->currentPreset()); }
        if (op == "fullState") { EXPECT_EQ(proxy->fullState(), proxy->AUAudioUnit::fullState()); }
        if (op == "stringFromValue") { EXPECT_EQ(parameter->stringFromValue(0.25f), "0.25"); }
        if (op == "valueFromString") { EXPECT_EQ(parameter->valueFromString("0.75"), 0.75f); }

        ASSERT_TRUE(pumpUntil([&] { return watch.count.load() > 0; }, std::chrono::seconds(5)));
        EXPECT_FALSE(proxy->setFullState(proxy->AUAudioUnit::fullState(), &error));
        EXPECT_EQ(error.code, kAudioComponentErr_InstanceInvalidated);
        EXPECT_EQ(error.description, "The audio unit's service was stopped: it sent a malformed message (" + problem + ")");
    }
    ::unsetenv("DUNMARROW_AUDIO_UNIT_SERVICE");
    ::unsetenv("OOP_LIE");
}
