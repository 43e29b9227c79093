#include "platform/ShaderLibrary.h"

#include "base/FrameworkResources.h"

#include <cstdlib>
#include <sstream>

namespace tevra {

namespace {
constexpr std::string_view kMarker = "//! function";
}

Expected<ShaderFunctionMap> parseShaderLibrary(std::string_view text) {
    auto fail = [](std::string message) {
        return Expected<ShaderFunctionMap>::fail(Error{kShaderLibraryErrorDomain, 1, std::move(message)});
    };
    ShaderFunctionMap functions;
    ShaderFunctionSource* current = nullptr;
    size_t lineNumber = 0;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(pos, end - pos);
        ++lineNumber;
        if (line.substr(0, kMarker.size()) == kMarker) {
            std::istringstream words{std::string(line.substr(kMarker.size()))};
            std::string name, stage, extra;
            words >> name >> stage >> extra;
            if (name.empty() || stage.empty() || !extra.empty())
                return fail("line " + std::to_string(lineNumber) + ": expected \"//! function NAME STAGE\"");
            ShaderFunctionSource f;
            f.name = name;
            if (stage == "vertex") {
                f.stage = ShaderStage::Vertex;
            } else if (stage == "fragment") {
                f.stage = ShaderStage::Fragment;
            } else {
                return fail("line " + std::to_string(lineNumber) + ": unknown stage \"" + stage + "\"");
            }
            auto [it, inserted] = functions.emplace(name, std::move(f));
            if (!inserted)
                return fail("line " + std::to_string(lineNumber) + ": function \"" + name + "\" given twice");
            current = &it->second;
        } else if (current && end <= text.size()) {
            current->source.append(line);
            if (end < text.size()) current->source.push_back('\n');
        }
        if (end == text.size()) break;
        pos = end + 1;
    }
    if (functions.empty()) return fail("the library has no functions");
    return Expected<ShaderFunctionMap>::ok(std::move(functions));
}

std::string frameworkShaderPath(const std::string& name, const std::string& extension) {
    // The same place as the page-side scripts: the environment, the
    // installed data directory beside the library, or the source tree.
    return frameworkResourcesDirectory() + "/shaders/" + name + "." + extension;
}

}  // namespace tevra
