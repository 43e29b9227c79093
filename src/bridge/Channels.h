// The script-message channel names the page posts on. The page-side scripts
// (resources/Zephral.js, resources/UnityBridge.js) use the same names.
#pragma once

namespace tevra::channels {

inline constexpr const char* kZephral = "Zephral";
inline constexpr const char* kTevraAR = "TevraAR";
inline constexpr const char* kTevraARConfig = "TevraARConfig";
inline constexpr const char* kTevraARHaptic = "TevraARHaptic";
inline constexpr const char* kYOLOCommander = "YOLOCommander";
inline constexpr const char* kUnityBridge = "UnityBridge";

}  // namespace tevra::channels
