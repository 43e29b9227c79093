// Conversion of JavaScriptCore values (message bodies, evaluation results)
// into JSON values.
//
// string -> string, number -> integer when whole and within +-2^53, else a
// real; NaN and the infinities -> null (as JSON.stringify has them);
// boolean -> boolean; null and undefined -> null; arrays -> arrays;
// other objects -> objects of their own enumerable properties (a typed
// array therefore becomes {"0": .., "1": ..}); functions -> null.
// Nesting deeper than kMaxJSONDepth (a cyclic value, say) ends in null there.
// Threads: the thread that owns the value's context (the main thread).
#pragma once

#include <jsc/jsc.h>
#include <nlohmann/json.hpp>

namespace tevra::linux_platform {

constexpr int kMaxJSONDepth = 64;

nlohmann::json jsonFromJSCValue(JSCValue* value);

}  // namespace tevra::linux_platform
