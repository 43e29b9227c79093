// Conversion of JavaScriptCore values (message bodies, evaluation results)
// into JSON values.
//
// string -> string, with its full length (NUL characters included; lone
// surrogates become U+FFFD so the result is valid UTF-8); number -> integer
// when whole and within +-2^53, else a real; NaN and the infinities -> null
// (as JSON.stringify has them); boolean -> boolean; null and undefined ->
// null; arrays -> arrays; other objects -> objects of their own enumerable
// properties (a typed array therefore becomes {"0": .., "1": ..});
// functions -> null.
//
// A value comes from a page, so what is converted is bounded:
// - size: each string counts its bytes (and each member name its bytes),
//   every other value 8, and each array slot 8 even where the array has a
//   hole, so new Array(1e7) costs 80 MB of budget and is refused at once,
//   before one slot is read. Over `maxBytes` the whole value is refused:
//   no value, and `why` says "it is larger than 4194304 bytes".
// - depth: nesting deeper than `maxDepth` (a cyclic value, say) ends in null
//   there, as before; that is not a refusal.
// Threads: the thread that owns the value's context (the main thread).
#pragma once

#include <jsc/jsc.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace tevra::linux_platform {

constexpr int kMaxJSONDepth = 64;

struct JSONConversionLimits {
    uint64_t maxBytes = 4ull * 1024 * 1024;
    int maxDepth = kMaxJSONDepth;
};

// The converted value, or none with `why` set when it is over `limits`.
std::optional<nlohmann::json> jsonFromJSCValue(JSCValue* value, const JSONConversionLimits& limits, std::string& why);

}  // namespace tevra::linux_platform
