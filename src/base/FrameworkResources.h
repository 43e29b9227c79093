// Where the framework's own resources (the page-side scripts and shaders)
// are found: $TEVRA_FRAMEWORK_RESOURCES when set, else share/TevraARWebGL
// beside the installed library, else the source tree's resources directory
// (for the build tree).
#pragma once

#include <optional>
#include <string>

namespace tevra {

std::string frameworkResourcesDirectory();
// Overrides the directory for the process (tests, embedding hosts).
void setFrameworkResourcesDirectory(const std::string& dir);
// Reads resource NAME.TYPE as UTF-8 text; none when missing or unreadable.
std::optional<std::string> readFrameworkResource(const std::string& name, const std::string& type);

}  // namespace tevra
