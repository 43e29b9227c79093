// What a text typed or handed in names as a page: a remote URL, or the file
// URL of a page among the application's resources.
//
// In: the text and the resources directory. Out: the address to load, or
// nothing when the text names no page.
// Rules: a text with a scheme and a host is loaded as it is; a text without
// a host is tried with "http://" in front; a file address ("file://NAME"),
// or a text that has no host even then, names a resource: NAME.html, else
// NAME itself, and a directory means its index.html. A "file:///PATH"
// address names the page at PATH when that file lies inside the resources
// directory (the page view's own address of a resource page, remembered
// after a load); other file paths name nothing. An empty host
// ("http://", "") names no server. Names never leave the resources
// directory (no absolute names, no "..").
// Example: "www.example.com" gives "http://www.example.com"; "file://www"
// with RES/www/index.html gives "file:///…/RES/www/index.html";
// "no such page" gives nothing.
// Threads: any; it reads the file system only.
#pragma once

#include <optional>
#include <string>

namespace tevra {

std::optional<std::string> resolvePageAddress(const std::string& text, const std::string& resourcesDirectory);

}  // namespace tevra
