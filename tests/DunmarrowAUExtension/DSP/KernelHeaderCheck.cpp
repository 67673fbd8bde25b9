// Built, never run: the kernel header compiles on its own, with only the repository
// root on the include path and nothing but the standard library.
#include "DunmarrowAUExtension/DSP/DunmarrowAUExtensionDSPKernel.hpp"

float renderOneBlock(float sample);

float renderOneBlock(float sample) {
    DunmarrowAUExtensionDSPKernel kernel;
    kernel.initialize(1, 1, 48000.0);
    float block[64] = {sample};
    const float* in[1] = {block};
    float* out[1] = {block};
    kernel.process(in, out, 0, 64);
    return kernel.outputLevel();
}
