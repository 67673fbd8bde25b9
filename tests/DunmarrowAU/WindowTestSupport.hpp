#pragma once
// A validation the test answers, searches of the inspection tree and colour checks.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "AudioUnitValidation.hpp"
#include "HostTestSupport.hpp"
#include "ui/ViewHost.hpp"

namespace hosttest {

// Answers from another thread when the test says so. The record is shared with the function
// handed out, so a job still queued when a test ends never writes into the next test's.
struct ManualValidation {
    struct Record {
        AudioComponentValidationCallback pending;
        int calls = 0;
        nlohmann::json options;
        audiounit::AVAudioUnitComponentPtr component;
    };
    std::shared_ptr<Record> record = std::make_shared<Record>();

    AudioComponentValidateFunction function() {
        return [record = record](const audiounit::AVAudioUnitComponentPtr& component, const nlohmann::json& options,
                                 AudioComponentValidationCallback callback) {
            ++record->calls;
            record->options = options;
            record->component = component;
            record->pending = std::move(callback);
        };
    }
    void answer(AudioComponentValidationResult result, const nlohmann::json& results) {
        // The validation job runs on the main queue after loading.
        ASSERT_TRUE(pumpUntil([this] { return static_cast<bool>(record->pending); })) << "no validation is waiting";
        std::thread([callback = record->pending, result, results] { callback(result, results); }).join();
        record->pending = nullptr;
    }
};

inline void forEachNode(const nlohmann::json& node, const std::function<void(const nlohmann::json&)>& visit) {
    visit(node);
    for (const auto& child : node.value("children", nlohmann::json::array())) forEachNode(child, visit);
}

// The first node, depth first, whose `key` field is `value` (and, for texts, that is a Text).
inline std::optional<nlohmann::json> findNode(const nlohmann::json& tree, const char* key, const std::string& value) {
    std::optional<nlohmann::json> found;
    forEachNode(tree, [&](const nlohmann::json& node) {
        if (!found && node.value(key, "") == value && (key != std::string("text") || node.value("type", "") == "Text"))
            found = node;
    });
    return found;
}
inline std::optional<nlohmann::json> findByType(const nlohmann::json& tree, const std::string& type) {
    return findNode(tree, "type", type);
}
inline std::optional<nlohmann::json> textUnder(const nlohmann::json& tree, const std::string& identifier) {
    const auto node = findNode(tree, "identifier", identifier);
    return node ? findByType(*node, "Text") : std::nullopt;
}
inline std::vector<std::string> collectTexts(const nlohmann::json& tree) {
    std::vector<std::string> texts;
    forEachNode(tree, [&](const nlohmann::json& node) {
        if (node.value("type", "") == "Text") texts.push_back(node.value("text", ""));
    });
    return texts;
}

// The window frame of the first node with `identifier`, embedded views included.
inline std::optional<ui::Rect> frameInTree(const nlohmann::json& tree, const std::string& identifier) {
    const auto node = findNode(tree, "identifier", identifier);
    if (!node || !node->contains("frame")) return std::nullopt;
    const auto& f = node->at("frame");
    return ui::Rect{f.at("x").get<double>(), f.at("y").get<double>(), f.at("width").get<double>(),
                    f.at("height").get<double>()};
}

inline void expectColour(const ui::Color& actual, const ui::Color& expected, double tolerance = 0.02) {
    EXPECT_NEAR(actual.r, expected.r, tolerance);
    EXPECT_NEAR(actual.g, expected.g, tolerance);
    EXPECT_NEAR(actual.b, expected.b, tolerance);
}

// The darkest pixel inside `rect` (in points) of an image at `scale`.
inline ui::Color darkestPixel(const ui::Image& image, const ui::Rect& rect, double scale) {
    ui::Color darkest = ui::Color::white();
    for (int y = int(rect.y * scale); y < int(rect.maxY() * scale) && y < image.height(); ++y) {
        for (int x = int(rect.x * scale); x < int(rect.maxX() * scale) && x < image.width(); ++x) {
            const ui::Color c = image.pixel(x, y);
            if (c.r + c.g + c.b < darkest.r + darkest.g + darkest.b) darkest = c;
        }
    }
    return darkest;
}

}  // namespace hosttest
