// A stand-in service answering plausibly, except $OOP_LIE = {"op", then "packets" (raw text, or
// "$id" for the request's id), "patch" (a merge patch of the result) or "nested" (lists in lists)}.

#include <unistd.h>

#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "audiounit/remote/RemoteUnitChannel.hpp"

using nlohmann::json;
namespace remote = audiounit::remote;

namespace {

json parameter(int address, const char* identifier) {
    return {{"kind", "parameter"}, {"identifier", identifier}, {"name", identifier}, {"address", address},
            {"min", 0.0},          {"max", 1.0},              {"unit", 0},         {"flags", 0},
            {"value", 0.5}};
}

json plausibleResult(const std::string& op) {
    const json bus = {{"sampleRate", 48000.0}, {"channels", 2}, {"maximumChannelCount", 2}, {"name", ""}};
    if (op == "describe")
        return {{"parameterTree", {{"children", {parameter(0, "a"), parameter(1, "b")}}}},
                {"inputBusses", {bus}}, {"outputBusses", {bus}}, {"channelCapabilities", {2, 2}},
                {"MIDIOutputNames", json::array()}, {"factoryPresets", {{{"number", 0}, {"name", "One"}}}},
                {"latency", 0.0}, {"tailTime", 0.0}, {"supportsUserPresets", false},
                {"maximumFramesToRender", 512}, {"shouldBypassEffect", false}, {"editor", {{"available", false}}}};
    if (op == "fullState") return json::object();
    if (op == "stringFromValue") return "half";
    if (op == "valueFromString") return 0.5;
    return nullptr;
}

}  // namespace

int main() {
    const int socket = remote::kServiceSocketFd;
    json lie = json::object();
    if (const char* text = std::getenv("OOP_LIE")) lie = json::parse(text, nullptr, false);
    while (true) {
        json packet;
        int fd = -1;
        const auto received = remote::receivePacket(socket, packet, &fd);
        if (fd >= 0) ::close(fd);
        if (received == remote::ReceiveResult::Closed) return 0;
        if (received != remote::ReceiveResult::Packet || !packet.contains("id")) continue;
        const std::string op = packet.value("op", "");
        json result = plausibleResult(op);
        if (lie.is_object() && lie.value("op", "") == op && lie.contains("patch")) {
            result.merge_patch(lie["patch"]);
        } else if (lie.is_object() && lie.value("op", "") == op && lie.contains("nested")) {
            const auto depth = lie["nested"].get<std::size_t>();
            remote::sendPacketText(socket, "{\"reply\": " + packet["id"].dump() + ", \"result\": " +
                                               std::string(depth, '[') + std::string(depth, ']') + "}");
            continue;
        } else if (lie.is_object() && lie.value("op", "") == op) {
            for (json reply : lie["packets"]) {
                if (reply.is_object() && reply.value("reply", json()) == "$id") reply["reply"] = packet["id"];
                remote::sendPacketText(socket, reply.is_string() ? reply.get<std::string>() : reply.dump());
            }
            continue;
        }
        remote::sendPacket(socket, {{"reply", packet["id"]}, {"result", result}});
    }
}
