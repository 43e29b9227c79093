// The shader library "default": one GLSL resource file (shaders/default.glsl)
// holding the renderer's named shader functions.
//
// Format: a line "//! function NAME STAGE" (STAGE "vertex" or "fragment")
// starts a function; its source runs to the next such line or the end of the
// file. Text before the first function is a comment. Sources carry no
// "#version" line: the GPU backend adds the one for its GLSL dialect.
//
// In: the file's text. Out: the functions by name, or an error (domain
// kShaderLibraryErrorDomain, e.g. "line 3: unknown stage \"geometry\"") for
// an empty library, an unknown stage, a missing name or a name given twice.
// Example: "//! function f vertex\nvoid main(){}\n" gives one vertex function
// "f" with the source "void main(){}\n".
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "base/Error.h"

namespace tevra {

enum class ShaderStage { Vertex, Fragment };

struct ShaderFunctionSource {
    std::string name;
    ShaderStage stage = ShaderStage::Vertex;
    std::string source;
};

using ShaderFunctionMap = std::map<std::string, ShaderFunctionSource>;

inline constexpr const char* kShaderLibraryErrorDomain = "TevraARWebGL.ShaderLibraryError";

Expected<ShaderFunctionMap> parseShaderLibrary(std::string_view text);

// Path of the library's resource file "<name>.<extension>" under shaders/ in
// the library's own resources: $TEVRA_FRAMEWORK_RESOURCES when set (a build
// tree), otherwise the installed data directory. The file may not exist.
std::string frameworkShaderPath(const std::string& name, const std::string& extension);

}  // namespace tevra
