#include "FontLoader.hpp"

#include <iostream>

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
        std::cout << "FontLoader: Glimra.otf not found in extension bundle: " << bundle.bundlePath().string()
                  << std::endl;
        return;
    }
    if (auto error = ui::registerFontFile(url->string())) {
        std::cout << "FontLoader: failed to register Glimra: " << error->localizedDescription() << std::endl;
        return;
    }
    std::cout << "FontLoader: Glimra registered from: " << url->string() << std::endl;
}
