// dunmarrow-lv2-ttl: writes the bundle's Turtle files from the effect's own
// parameter declarations and factory presets, so that the bundle can never
// disagree with the unit.
//
//   dunmarrow-lv2-ttl BUNDLE_DIR DSP_BINARY UI_BINARY
//
// Writes BUNDLE_DIR/manifest.ttl, dunmarrow.ttl (both plugins and the UI) and
// presets.ttl, each under a temporary name first. Exit status 1 with one line
// on standard error when something fails.

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "DunmarrowAUExtensionAudioUnit.hpp"
#include "DunmarrowLV2Ports.hpp"

namespace {

using namespace dunmarrow_lv2;
using namespace audiounit;

constexpr const char* kPrefixes =
    "@prefix atom:  <http://lv2plug.in/ns/ext/atom#> .\n"
    "@prefix bufsz: <http://lv2plug.in/ns/ext/buf-size#> .\n"
    "@prefix doap:  <http://usefulinc.com/ns/doap#> .\n"
    "@prefix lv2:   <http://lv2plug.in/ns/lv2core#> .\n"
    "@prefix opts:  <http://lv2plug.in/ns/ext/options#> .\n"
    "@prefix pset:  <http://lv2plug.in/ns/ext/presets#> .\n"
    "@prefix rdfs:  <http://www.w3.org/2000/01/rdf-schema#> .\n"
    "@prefix ui:    <http://lv2plug.in/ns/extensions/ui#> .\n"
    "@prefix units: <http://lv2plug.in/ns/extensions/units#> .\n"
    "@prefix urid:  <http://lv2plug.in/ns/ext/urid#> .\n\n";

// The shortest decimal that reads back as the same float, always with a
// decimal point (a Turtle decimal, never an integer or an exponent).
std::string decimal(float value) {
    char text[64];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed);
    std::string s(text, result.ptr);
    if (s.find('.') == std::string::npos) s += ".0";
    return s;
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

struct PluginVariant {
    const char* uri;
    const char* name;
    std::uint32_t channels;
};
constexpr PluginVariant kVariants[] = {{kStereoPluginURI, "Dunmarrow", 2}, {kMonoPluginURI, "Dunmarrow Mono", 1}};

struct Preset {
    std::string uri;
    std::string name;
    std::vector<std::pair<std::string, float>> values;  // symbol, value in port order
};

// The factory presets as the unit applies them: each one is selected on a
// fresh unit and the values read back from its tree.
std::vector<Preset> factoryPresets() {
    const auto unit = makeDunmarrowAudioUnit();
    if (!unit) throw std::runtime_error("the effect's audio unit could not be created");
    std::vector<Preset> presets;
    for (const auto& preset : unit->factoryPresets()) {
        unit->setCurrentPreset(preset);
        Preset out;
        std::string slug;
        for (const char c : preset->name()) slug += c == ' ' ? '-' : static_cast<char>(std::tolower(c));
        out.uri = "urn:dunmarrow:preset:" + slug;
        out.name = preset->name();
        for (const ParameterSpec* declaration : parameterPorts()) {
            const auto parameter = unit->parameterTree()->parameterWithIdentifiers({"global", declaration->identifier});
            if (!parameter) throw std::runtime_error("parameter " + declaration->identifier + " is not in the tree");
            out.values.emplace_back(declaration->identifier, parameter->value());
        }
        presets.push_back(std::move(out));
    }
    return presets;
}

std::string controlPort(std::uint32_t index, const ParameterSpec& declaration) {
    std::ostringstream s;
    s << "        a lv2:InputPort , lv2:ControlPort ;\n"
      << "        lv2:index " << index << " ;\n"
      << "        lv2:symbol " << quoted(declaration.identifier) << " ;\n"
      << "        lv2:name " << quoted(declaration.name) << " ;\n"
      << "        lv2:default " << decimal(declaration.defaultValue) << " ;\n"
      << "        lv2:minimum " << decimal(declaration.minValue) << " ;\n"
      << "        lv2:maximum " << decimal(declaration.maxValue);
    switch (declaration.units) {
        case kAudioUnitParameterUnit_Percent: s << " ;\n        units:unit units:pc"; break;
        case kAudioUnitParameterUnit_LinearGain: s << " ;\n        units:unit units:coef"; break;
        case kAudioUnitParameterUnit_Boolean: s << " ;\n        lv2:portProperty lv2:toggled"; break;
        default: break;
    }
    return s.str();
}

std::string pluginDescription(const PluginVariant& variant) {
    std::ostringstream s;
    s << "<" << variant.uri << ">\n"
      << "    a lv2:Plugin , lv2:DistortionPlugin ;\n"
      << "    doap:name " << quoted(variant.name) << " ;\n"
      << "    doap:license <http://opensource.org/licenses/isc> ;\n"
      << "    lv2:minorVersion 1 ;\n"
      << "    lv2:microVersion 0 ;\n"
      << "    lv2:binary <dunmarrow.so> ;\n"
      << "    lv2:requiredFeature urid:map ;\n"
      << "    lv2:optionalFeature lv2:hardRTCapable , opts:options ;\n"
      << "    opts:supportedOption bufsz:maxBlockLength ;\n"
      << "    ui:ui <" << kUIURI << "> ;\n"
      << "    lv2:port [\n";
    const auto& parameters = parameterPorts();
    std::vector<std::string> ports;
    for (std::uint32_t i = 0; i < parameters.size(); ++i) ports.push_back(controlPort(i, *parameters[i]));
    ports.push_back("        a lv2:InputPort , lv2:ControlPort ;\n        lv2:index " + std::to_string(kEnabledPort) +
                    " ;\n        lv2:symbol \"" + kEnabledSymbol +
                    "\" ;\n        lv2:name \"Enabled\" ;\n        lv2:designation lv2:enabled ;\n"
                    "        lv2:portProperty lv2:toggled ;\n"
                    "        lv2:default 1 ;\n        lv2:minimum 0 ;\n        lv2:maximum 1");
    const std::pair<std::uint32_t, std::pair<const char*, const char*>> levels[] = {
        {kInputLevelPort, {kInputLevelSymbol, "Input Level"}}, {kOutputLevelPort, {kOutputLevelSymbol, "Output Level"}}};
    for (const auto& [index, names] : levels)
        ports.push_back("        a lv2:OutputPort , lv2:ControlPort ;\n        lv2:index " + std::to_string(index) +
                        " ;\n        lv2:symbol \"" + names.first + "\" ;\n        lv2:name \"" + names.second +
                        "\" ;\n        lv2:minimum 0.0 ;\n        lv2:maximum 1.0");
    const AudioPortLayout layout{variant.channels};
    const char* const suffix[2][2] = {{"", ""}, {"_l", "_r"}};
    const char* const nameSuffix[2][2] = {{"", ""}, {" L", " R"}};
    for (std::uint32_t c = 0; c < variant.channels; ++c)
        ports.push_back("        a lv2:InputPort , lv2:AudioPort ;\n        lv2:index " +
                        std::to_string(layout.inputPort(c)) + " ;\n        lv2:symbol \"in" +
                        suffix[variant.channels - 1][c] + "\" ;\n        lv2:name \"In" +
                        nameSuffix[variant.channels - 1][c] + "\"");
    for (std::uint32_t c = 0; c < variant.channels; ++c)
        ports.push_back("        a lv2:OutputPort , lv2:AudioPort ;\n        lv2:index " +
                        std::to_string(layout.outputPort(c)) + " ;\n        lv2:symbol \"out" +
                        suffix[variant.channels - 1][c] + "\" ;\n        lv2:name \"Out" +
                        nameSuffix[variant.channels - 1][c] + "\"");
    for (std::size_t i = 0; i < ports.size(); ++i)
        s << ports[i] << (i + 1 < ports.size() ? "\n    ] , [\n" : "\n    ] .\n\n");
    return s.str();
}

std::string uiDescription(const std::string& uiBinary) {
    std::ostringstream s;
    s << "<" << kUIURI << ">\n"
      << "    a ui:X11UI ;\n"
      << "    ui:binary <" << uiBinary << "> ;\n"
      << "    lv2:requiredFeature ui:idleInterface ;\n"
      << "    lv2:optionalFeature ui:parent , ui:resize , ui:touch , opts:options , urid:map ;\n"
      << "    lv2:extensionData ui:idleInterface , ui:showInterface , ui:resize ;\n"
      << "    ui:portNotification";
    bool first = true;
    for (const auto& variant : kVariants) {
        for (const char* symbol : {kInputLevelSymbol, kOutputLevelSymbol}) {
            s << (first ? " [\n" : " , [\n") << "        ui:plugin <" << variant.uri << "> ;\n"
              << "        lv2:symbol \"" << symbol << "\" ;\n"
              << "        ui:protocol ui:floatProtocol\n    ]";
            first = false;
        }
    }
    s << " .\n";
    return s.str();
}

std::string presetsFile(const std::vector<Preset>& presets) {
    std::ostringstream s;
    s << kPrefixes;
    for (const auto& preset : presets) {
        s << "<" << preset.uri << ">\n"
          << "    a pset:Preset ;\n"
          << "    lv2:appliesTo <" << kStereoPluginURI << "> , <" << kMonoPluginURI << "> ;\n"
          << "    rdfs:label " << quoted(preset.name) << " ;\n"
          << "    lv2:port";
        for (std::size_t i = 0; i < preset.values.size(); ++i) {
            s << (i == 0 ? " [\n" : " , [\n") << "        lv2:symbol " << quoted(preset.values[i].first) << " ;\n"
              << "        pset:value " << decimal(preset.values[i].second) << "\n    ]";
        }
        s << " .\n\n";
    }
    return s.str();
}

std::string manifest(const std::vector<Preset>& presets, const std::string& uiBinary) {
    std::ostringstream s;
    s << kPrefixes;
    for (const auto& variant : kVariants)
        s << "<" << variant.uri << ">\n    a lv2:Plugin ;\n    lv2:binary <dunmarrow.so> ;\n"
          << "    rdfs:seeAlso <dunmarrow.ttl> .\n\n";
    s << "<" << kUIURI << ">\n    a ui:X11UI ;\n    ui:binary <" << uiBinary << "> ;\n"
      << "    rdfs:seeAlso <dunmarrow.ttl> .\n\n";
    for (const auto& preset : presets)
        s << "<" << preset.uri << ">\n    a pset:Preset ;\n    lv2:appliesTo <" << kStereoPluginURI << "> , <"
          << kMonoPluginURI << "> ;\n    rdfs:seeAlso <presets.ttl> .\n\n";
    return s.str();
}

// Writes through a temporary name and renames, so a reader never sees half a file.
void writeFile(const std::filesystem::path& path, const std::string& text) {
    const auto temporary = path.string() + ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (!out) throw std::runtime_error("cannot write " + temporary);
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    if (error) throw std::runtime_error("cannot rename " + temporary + ": " + error.message());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: dunmarrow-lv2-ttl BUNDLE_DIR DSP_BINARY UI_BINARY\n", stderr);
        return 2;
    }
    try {
        const std::filesystem::path bundle = argv[1];
        const std::string dspBinary = std::filesystem::path(argv[2]).filename().string();
        const std::string uiBinary = std::filesystem::path(argv[3]).filename().string();
        if (dspBinary != "dunmarrow.so") throw std::runtime_error("the DSP module must be named dunmarrow.so");
        std::filesystem::create_directories(bundle);
        const auto presets = factoryPresets();
        std::string plugins = kPrefixes;
        for (const auto& variant : kVariants) plugins += pluginDescription(variant);
        plugins += uiDescription(uiBinary);
        writeFile(bundle / "dunmarrow.ttl", plugins);
        writeFile(bundle / "presets.ttl", presetsFile(presets));
        writeFile(bundle / "manifest.ttl", manifest(presets, uiBinary));
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "dunmarrow-lv2-ttl: %s\n", e.what());
        return 1;
    }
}
