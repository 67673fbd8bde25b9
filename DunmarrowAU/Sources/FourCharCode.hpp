#pragma once
// Four-character codes from text: "aufx" -> 0x61756678, the first character in
// the most significant byte.

#include <cstdint>
#include <optional>
#include <string_view>

// The code for `text`, or nothing unless the text has exactly four characters
// that take exactly four bytes in UTF-8, i.e. four ASCII characters. "auf",
// "aufxx" and "aüfx" yield nothing.
[[nodiscard]] constexpr std::optional<std::uint32_t> fourCharCode(std::string_view text) noexcept {
    if (text.size() != 4) return std::nullopt;
    std::uint32_t code = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        // Any byte of a multi-byte sequence makes fewer than four characters (or
        // invalid UTF-8, which is no text at all).
        if (byte >= 0x80) return std::nullopt;
        code = (code << 8) | byte;
    }
    return code;
}

// Type codes the host tells units apart by.
inline constexpr std::uint32_t kTypeEffect = 0x61756678;        // "aufx"
inline constexpr std::uint32_t kTypeMusicEffect = 0x61756D66;   // "aumf"
inline constexpr std::uint32_t kTypeMIDIProcessor = 0x61756D69; // "aumi"
inline constexpr std::uint32_t kTypeMusicDevice = 0x61756D75;   // "aumu"
inline constexpr std::uint32_t kTypeGenerator = 0x6175676E;     // "augn"
