// The page API as a module, for pages that run outside the host (with the
// browser mock, ./mock.js) or a bundler. Inside the host both scripts are
// already injected at document start; importing them again changes nothing.
import './Zephral.js';
import './UnityBridge.js';

export const Zephral = window.Zephral;
export const UnityBridge = window.UnityBridge;
