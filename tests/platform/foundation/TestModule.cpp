// A module in a bundle folder; the bundle tests look its bundle up from this function's address.
extern "C" __attribute__((visibility("default"))) int foundationTestModuleAnswer() { return 42; }
