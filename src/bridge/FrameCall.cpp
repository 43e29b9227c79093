#include "bridge/FrameCall.h"

#include <cstdio>

namespace tevra {

std::string buildFrameCall(const float values[39]) {
    std::string s = "if(window.handleARFrame){window.handleARFrame(new Float32Array([";
    char buf[64];
    for (int i = 0; i < 39; ++i) {
        std::snprintf(buf, sizeof buf, "%f", static_cast<double>(values[i]));
        s += buf;
        if (i != 38) s += ',';
    }
    s += "]))}";
    return s;
}

}  // namespace tevra
