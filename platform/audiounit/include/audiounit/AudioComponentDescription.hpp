#pragma once
// How a component identifies itself in the registry: type, subtype and
// manufacturer as four-character codes, plus flags. Also the options a host
// passes when it instantiates a component.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace audiounit {

using OSType = std::uint32_t;
using FourCharCode = std::uint32_t;

// Packs four characters big-endian into 32 bits: "aufx" -> 0x61756678.
constexpr FourCharCode fourCharCode(const char (&text)[5]) noexcept {
    return (FourCharCode{static_cast<unsigned char>(text[0])} << 24) |
           (FourCharCode{static_cast<unsigned char>(text[1])} << 16) |
           (FourCharCode{static_cast<unsigned char>(text[2])} << 8) |
           FourCharCode{static_cast<unsigned char>(text[3])};
}

// The same for a run-time text; absent unless it has exactly four characters.
constexpr std::optional<FourCharCode> fourCharCodeFromString(std::string_view text) noexcept {
    if (text.size() != 4) return std::nullopt;
    FourCharCode code = 0;
    for (char c : text) code = (code << 8) | FourCharCode{static_cast<unsigned char>(c)};
    return code;
}

// The four characters of a code, most significant byte first.
inline std::string fourCharCodeString(FourCharCode code) {
    std::string text(4, ' ');
    for (int i = 0; i < 4; ++i) text[static_cast<std::size_t>(i)] = static_cast<char>((code >> (24 - 8 * i)) & 0xFFu);
    return text;
}

inline constexpr OSType kAudioUnitType_Effect = fourCharCode("aufx");
inline constexpr OSType kAudioUnitType_MusicEffect = fourCharCode("aumf");
inline constexpr OSType kAudioUnitType_MusicDevice = fourCharCode("aumu");
inline constexpr OSType kAudioUnitType_Generator = fourCharCode("augn");
inline constexpr OSType kAudioUnitType_Output = fourCharCode("auou");
inline constexpr OSType kAudioUnitType_Mixer = fourCharCode("aumx");

struct AudioComponentDescription {
    OSType componentType = 0;
    OSType componentSubType = 0;
    OSType componentManufacturer = 0;
    std::uint32_t componentFlags = 0;
    std::uint32_t componentFlagsMask = 0;

    friend bool operator==(const AudioComponentDescription&, const AudioComponentDescription&) = default;
};

enum AudioComponentInstantiationOptions : std::uint32_t {
    kAudioComponentInstantiation_None = 0,
    kAudioComponentInstantiation_LoadOutOfProcess = 1,
    kAudioComponentInstantiation_LoadInProcess = 2,
    kAudioComponentInstantiation_LoadedRemotely = 1u << 31,
};

}  // namespace audiounit
