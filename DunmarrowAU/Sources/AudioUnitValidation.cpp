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
    // No validator in this build: report that nothing could be validated, which
    // the host shows as a failure with "Validation probably crashed".
    return [](const audiounit::AVAudioUnitComponentPtr&, const nlohmann::json&,
              AudioComponentValidationCallback callback) {
        callback(kAudioComponentValidationResult_Unknown, nlohmann::json::object());
    };
}
