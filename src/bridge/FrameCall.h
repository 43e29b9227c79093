// Builds the per-frame page call from the 39 numbers of an AR frame.
#pragma once

#include <string>

namespace tevra {

// "if(window.handleARFrame){window.handleARFrame(new Float32Array([...]))}"
// with each number formatted as printf "%f" formats it.
std::string buildFrameCall(const float values[39]);

}  // namespace tevra
