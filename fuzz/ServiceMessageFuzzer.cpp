// What the host reads from its audio-unit service: a packet's bytes as they
// arrive, then every decoder the proxy applies to a packet or to a reply's
// result. The service is another process that may send anything; each decoder
// either accepts with every field in range or names the problem on one line,
// and none throws.

#include <cmath>
#include <cstdint>
#include <string>

#include "FuzzSupport.hpp"
#include "audiounit/remote/RemoteUnitChannel.hpp"
#include "audiounit/remote/ServiceMessages.hpp"

namespace {

void requireProblemSaid(bool accepted, const std::string& problem) {
    using fuzzing::require;
    require(accepted || !problem.empty(), "a decoder refused a message without saying why");
    for (const char c : problem) require(c != '\n' && c != '\0', "a decoder's problem is not one line");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace audiounit::remote;
    using fuzzing::require;
    const auto packet = parsePacket({reinterpret_cast<const char*>(data), size});
    if (!packet) return 0;

    std::string problem;
    ServiceMessage message;
    requireProblemSaid(decodeServiceMessage(*packet, message, problem), problem);
    // The proxy decodes a reply's result by the request it answers; any
    // result may come back to any request.
    const nlohmann::json& result =
        packet->is_object() && packet->contains("result") ? (*packet)["result"] : *packet;

    UnitDescription description;
    problem.clear();
    const bool described = decodeUnitDescription(result, description, problem);
    requireProblemSaid(described, problem);
    if (described) {
        require(description.inputBusses.size() <= kMaxDescribedBusses &&
                    description.outputBusses.size() <= kMaxDescribedBusses,
                "more busses than a description may hold");
        for (const auto* busses : {&description.inputBusses, &description.outputBusses})
            for (const auto& bus : *busses)
                require(bus.channels >= 1 && std::isfinite(bus.sampleRate) && bus.sampleRate > 0,
                        "a bus described with no channels or no rate");
    }
    audiounit::AUParameterTreePtr tree;
    problem.clear();
    requireProblemSaid(decodeParameterTree(result, tree, problem), problem);
    std::optional<PresetDescription> preset;
    problem.clear();
    requireProblemSaid(decodeCurrentPreset(result, preset, problem), problem);
    problem.clear();
    requireProblemSaid(decodeFullState(result, problem), problem);
    std::string text;
    problem.clear();
    requireProblemSaid(decodeValueText(result, text, problem), problem);
    audiounit::AUValue value = 0;
    problem.clear();
    const bool valued = decodeParameterValue(result, value, problem);
    requireProblemSaid(valued, problem);
    require(!valued || std::isfinite(value), "a parameter value that is not finite was accepted");
    unsigned long window = 0;
    problem.clear();
    requireProblemSaid(decodeEditorWindow(result, window, problem), problem);
    nlohmann::json inspection;
    problem.clear();
    requireProblemSaid(decodeEditorInspection(result, inspection, problem), problem);
    return 0;
}
