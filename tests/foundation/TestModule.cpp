// A loadable module living in a bundle folder; the bundle tests look its
// bundle up from the address of this function.
extern "C" __attribute__((visibility("default"))) int foundationTestModuleAnswer() { return 42; }
