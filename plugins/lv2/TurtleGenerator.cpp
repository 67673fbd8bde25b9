// dunmarrow-lv2-ttl: writes the bundle's Turtle files from the effect's own
// parameter table and factory presets, so that the bundle can never disagree
// with the unit.
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
using dunmarrow_dsp::ParameterInfo;
using dunmarrow_dsp::ParameterUnit;

constexpr const char* kPrefixes =
    "@prefix atom:  <http://lv2plug.in/ns/ext/atom#> .\n"
    "@prefix bufsz: <http://lv2plug.in/ns/ext/buf-size#> .\n"
    "@prefix doap:  <http://usefulinc.com/ns/doap#> .\n"
    "@prefix foaf:  <http://xmlns.com/foaf/0.1/> .\n"
    "@prefix log:   <http://lv2plug.in/ns/ext/log#> .\n"
    "@prefix lv2:   <http://lv2plug.in/ns/lv2core#> .\n"
    "@prefix opts:  <http://lv2plug.in/ns/ext/options#> .\n"
    "@prefix pg:    <http://lv2plug.in/ns/ext/port-groups#> .\n"
    "@prefix pset:  <http://lv2plug.in/ns/ext/presets#> .\n"
    "@prefix rdfs:  <http://www.w3.org/2000/01/rdf-schema#> .\n"
    "@prefix ui:    <http://lv2plug.in/ns/extensions/ui#> .\n"
    "@prefix units: <http://lv2plug.in/ns/extensions/units#> .\n"
    "@prefix urid:  <http://lv2plug.in/ns/ext/urid#> .\n\n";

// The project's minor and micro versions (the major one is in the URIs). A
// release has an even minor version (an odd one marks a development release).
constexpr int kMinorVersion = DUNMARROW_VERSION_MINOR;
constexpr int kMicroVersion = DUNMARROW_VERSION_PATCH;
// The project's licence (LICENSE at the top of the source tree).
constexpr const char* kLicense = "http://opensource.org/licenses/isc";
constexpr const char* kMaintainer = "The Dunmarrow developers";

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
    const char* comment;
    std::uint32_t channels;
    const char* presetPrefix;
};
constexpr PluginVariant kVariants[] = {
    {kStereoPluginURI, "Dunmarrow",
     "High-gain guitar distortion, 8x oversampled, with a doubler and a stereo widener.", 2,
     "urn:dunmarrow:preset:"},
    {kMonoPluginURI, "Dunmarrow Mono", "High-gain guitar distortion, 8x oversampled, with a doubler; one channel.", 1,
     "urn:dunmarrow:preset:mono:"},
};

struct Preset {
    std::string slug;
    std::string name;
    std::vector<std::pair<std::string, float>> values;  // identifier, value in tree order
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
        for (const char c : preset->name()) out.slug += c == ' ' ? '-' : static_cast<char>(std::tolower(c));
        out.name = preset->name();
        for (const ParameterInfo* declaration : PortLayout{2}.parameters()) {
            const std::string identifier(declaration->identifier);
            const auto parameter = unit->parameterTree()->parameterWithIdentifiers(
                {std::string(dunmarrow_dsp::kParameterGroupIdentifier), identifier});
            if (!parameter) throw std::runtime_error("parameter " + identifier + " is not in the tree");
            out.values.emplace_back(identifier, parameter->value());
        }
        presets.push_back(std::move(out));
    }
    return presets;
}

// One port's description: its class line, index and symbol first, then the rest.
std::string port(const char* classes, std::uint32_t index, const std::string& symbol, const std::string& name,
                 const std::string& rest) {
    return std::string("        a ") + classes + " ;\n        lv2:index " + std::to_string(index) +
           " ;\n        lv2:symbol " + quoted(symbol) + " ;\n        lv2:name " + quoted(name) + rest;
}

std::string controlPort(std::uint32_t index, const ParameterInfo& declaration) {
    std::ostringstream s;
    s << " ;\n        rdfs:comment " << quoted(std::string(declaration.comment))
      << " ;\n        lv2:default " << decimal(declaration.defaultValue) << " ;\n        lv2:minimum "
      << decimal(declaration.minValue) << " ;\n        lv2:maximum " << decimal(declaration.maxValue);
    switch (declaration.units) {
        case ParameterUnit::Percent: s << " ;\n        units:unit units:pc"; break;
        case ParameterUnit::Boolean: s << " ;\n        lv2:portProperty lv2:toggled"; break;
        // The mixes and the linear output gain are plain factors.
        case ParameterUnit::LinearGain:
        case ParameterUnit::Generic: s << " ;\n        units:unit units:coef"; break;
    }
    return port("lv2:InputPort , lv2:ControlPort", index, std::string(declaration.identifier),
                std::string(declaration.name), s.str());
}

std::string pluginDescription(const PluginVariant& variant) {
    const PortLayout layout{variant.channels};
    const std::string inGroup = std::string(variant.uri) + ":in", outGroup = std::string(variant.uri) + ":out";
    std::ostringstream s;
    s << "<" << variant.uri << ">\n"
      << "    a lv2:Plugin , lv2:DistortionPlugin , doap:Project ;\n"
      << "    doap:name " << quoted(variant.name) << " ;\n"
      << "    rdfs:comment " << quoted(variant.comment) << " ;\n"
      << "    doap:license <" << kLicense << "> ;\n"
      << "    doap:maintainer [\n        a foaf:Person ;\n        foaf:name " << quoted(kMaintainer) << "\n    ] ;\n"
      << "    lv2:minorVersion " << kMinorVersion << " ;\n"
      << "    lv2:microVersion " << kMicroVersion << " ;\n"
      << "    lv2:binary <dunmarrow.so> ;\n"
      << "    lv2:requiredFeature urid:map ;\n"
      << "    lv2:optionalFeature lv2:hardRTCapable , opts:options ;\n"
      << "    opts:supportedOption bufsz:maxBlockLength ;\n"
      << "    pg:mainInput <" << inGroup << "> ;\n"
      << "    pg:mainOutput <" << outGroup << "> ;\n"
      << "    ui:ui <" << kUIURI << "> ;\n"
      << "    lv2:port [\n";
    const auto& parameters = layout.parameters();
    std::vector<std::string> ports;
    for (std::uint32_t i = 0; i < parameters.size(); ++i) ports.push_back(controlPort(i, *parameters[i]));
    ports.push_back(port("lv2:InputPort , lv2:ControlPort", layout.enabledPort(), kEnabledSymbol, "Enabled",
                         " ;\n        rdfs:comment \"On processes; off passes the input through unchanged.\" ;\n"
                         "        lv2:designation lv2:enabled ;\n"
                         "        lv2:portProperty lv2:toggled , lv2:integer ;\n"
                         "        lv2:default 1 ;\n        lv2:minimum 0 ;\n        lv2:maximum 1"));
    const std::pair<std::uint32_t, std::pair<const char*, const char*>> levels[] = {
        {layout.inputLevelPort(), {kInputLevelSymbol, "Input Level"}},
        {layout.outputLevelPort(), {kOutputLevelSymbol, "Output Level"}}};
    for (const auto& [index, names] : levels)
        ports.push_back(port("lv2:OutputPort , lv2:ControlPort", index, names.first, names.second,
                             std::string(" ;\n        rdfs:comment \"Peak of the ") +
                                 (index == layout.inputLevelPort() ? "input" : "output") +
                                 " over the last block, 1 at full scale.\" ;\n"
                                 "        units:unit units:coef ;\n"
                                 "        lv2:minimum 0.0 ;\n        lv2:maximum 1.0"));
    const bool stereo = variant.channels == 2;
    for (const bool input : {true, false}) {
        for (std::uint32_t c = 0; c < variant.channels; ++c) {
            const char* side = !stereo ? "" : c == 0 ? "_l" : "_r";
            const char* sideName = !stereo ? "" : c == 0 ? " L" : " R";
            const char* channel = !stereo ? "pg:center" : c == 0 ? "pg:left" : "pg:right";
            ports.push_back(port(input ? "lv2:InputPort , lv2:AudioPort" : "lv2:OutputPort , lv2:AudioPort",
                                 input ? layout.inputPort(c) : layout.outputPort(c),
                                 std::string(input ? "in" : "out") + side, std::string(input ? "In" : "Out") + sideName,
                                 " ;\n        pg:group <" + (input ? inGroup : outGroup) +
                                     "> ;\n        lv2:designation " + channel));
        }
    }
    for (std::size_t i = 0; i < ports.size(); ++i)
        s << ports[i] << (i + 1 < ports.size() ? "\n    ] , [\n" : "\n    ] .\n\n");
    for (const bool input : {true, false}) {
        s << "<" << (input ? inGroup : outGroup) << ">\n"
          << "    a " << (stereo ? "pg:StereoGroup" : "pg:MonoGroup") << " , "
          << (input ? "pg:InputGroup" : "pg:OutputGroup") << " ;\n"
          << "    lv2:symbol \"" << (input ? "main_in" : "main_out") << "\" ;\n"
          << "    rdfs:label \"" << (input ? "Input" : "Output") << "\"";
        if (!input) s << " ;\n    pg:source <" << inGroup << ">";
        s << " .\n\n";
    }
    return s.str();
}

std::string uiDescription(const std::string& uiBinary) {
    std::ostringstream s;
    s << "<" << kUIURI << ">\n"
      << "    a ui:X11UI ;\n"
      << "    ui:binary <" << uiBinary << "> ;\n"
      << "    lv2:requiredFeature ui:idleInterface ;\n"
      << "    lv2:optionalFeature ui:parent , ui:resize , ui:touch , opts:options , urid:map , log:log ;\n"
      << "    opts:supportedOption ui:scaleFactor ;\n"
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

// Each preset once per plugin, with the ports that plugin has.
std::string presetsFile(const std::vector<Preset>& presets) {
    std::ostringstream s;
    s << kPrefixes;
    for (const auto& variant : kVariants) {
        const PortLayout layout{variant.channels};
        for (const auto& preset : presets) {
            s << "<" << variant.presetPrefix << preset.slug << ">\n"
              << "    a pset:Preset ;\n"
              << "    lv2:appliesTo <" << variant.uri << "> ;\n"
              << "    rdfs:label " << quoted(preset.name) << " ;\n"
              << "    lv2:port";
            bool first = true;
            for (const auto& [identifier, value] : preset.values) {
                const ParameterInfo* declaration = nullptr;
                for (const ParameterInfo* p : layout.parameters())
                    if (p->identifier == identifier) declaration = p;
                if (declaration == nullptr) continue;
                s << (first ? " [\n" : " , [\n") << "        lv2:symbol " << quoted(identifier) << " ;\n"
                  << "        pset:value " << decimal(value) << "\n    ]";
                first = false;
            }
            s << " .\n\n";
        }
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
    for (const auto& variant : kVariants)
        for (const auto& preset : presets)
            s << "<" << variant.presetPrefix << preset.slug << ">\n    a pset:Preset ;\n    lv2:appliesTo <"
              << variant.uri << "> ;\n    rdfs:seeAlso <presets.ttl> .\n\n";
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
