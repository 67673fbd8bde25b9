#include "FontLoader.hpp"

#include "foundation/Logger.hpp"
#include "ui/Fonts.hpp"

namespace {
// Only its address matters: it locates the module this code was linked into.
void fontLoaderBundleToken() {}
}  // namespace

void registerEditorFont() {
    auto bundle = foundation::Bundle::forAddress(reinterpret_cast<const void*>(&fontLoaderBundleToken));
    registerEditorFont(bundle ? *bundle : foundation::Bundle::main());
}

void registerEditorFont(const foundation::Bundle& bundle) {
    auto url = bundle.urlForResource("Glimra", "otf");
    if (!url) {
        foundation::writeDiagnostic("FontLoader: Glimra.otf not found in extension bundle: " +
                                    bundle.bundlePath().string());
        return;
    }
    if (auto error = ui::registerFontFile(url->string())) {
        foundation::writeDiagnostic("FontLoader: failed to register Glimra: " + error->localizedDescription());
        return;
    }
    foundation::writeDiagnostic("FontLoader: Glimra registered from: " + url->string());
}
