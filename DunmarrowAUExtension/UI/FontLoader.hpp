#pragma once
// Registers the editor's display font ("Glimra", shipped as Resources/Glimra.otf
// in the extension's bundle, not installed on the system) for this process.
// Every outcome is one line on standard output; none stops the editor, whose
// title then falls back to another family. Main thread.

#include "foundation/Bundle.hpp"

// Uses the bundle that contains this code, which is the extension's bundle
// even inside a host process whose main bundle is another one.
void registerEditorFont();
// The same for a given bundle.
void registerEditorFont(const foundation::Bundle& bundle);
