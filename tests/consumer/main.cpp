// A host program built against the installed package.
#include <TevraARWebGL/TevraARWebGL.h>

#include <cstdio>

int main() {
    std::printf("TevraARWebGL %.1f, target box %dx%d, JPEG quality %.2f\n", TevraARWebGLVersionNumber, targetFrameWidth,
                targetFrameHeight, static_cast<double>(cameraFrameJpegCompressionFactor));
    tevra::float4x4 m = tevra::float4x4::translation(1, 2, 3);
    return (tevra::inverse(m).m(3, 0) == -1.0f && tevra::deviceName().size() > 0) ? 0 : 1;
}
