#include "AudioUnitValidation.hpp"

std::string validationOutputText(const nlohmann::json& results) {
    if (!results.is_object() || results.empty()) return kValidationProbablyCrashed;
    const auto output = results.find("Output");
    if (output == results.end() || !output->is_array()) return kValidationProbablyCrashed;
    std::string text;
    bool first = true;
    for (const auto& line : *output) {
        if (!line.is_string()) return kValidationProbablyCrashed;
        if (!first) text += '\n';
        text += line.get_ref<const std::string&>();
        first = false;
    }
    return text;
}

AudioComponentValidateFunction defaultAudioComponentValidate() {
    return [](const audiounit::AVAudioUnitComponentPtr& component, const nlohmann::json& options,
              AudioComponentValidationCallback callback) {
        // The handler runs on the validation's worker thread.
        const audiounit::OSStatus status = audiounit::AudioComponentValidateWithResults(
            component, options, [callback](AudioComponentValidationResult result, nlohmann::json results) {
                callback(result, results);
            });
        // Refused at once (no component): nothing was validated.
        if (status != audiounit::noErr) callback(kAudioComponentValidationResult_Unknown, nlohmann::json::object());
    };
}
