#include "platform/live/Board.h"

#include <array>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string_view>
#include <vector>

namespace tevra::live {

namespace {

struct Dictionary {
    std::string_view name;
    int id;     // OpenCV's PREDEFINED_DICTIONARY_NAME
    int count;  // markers in it
};

// OpenCV's predefined ArUco dictionaries, by their fixed numbers.
constexpr std::array<Dictionary, 21> kDictionaries{{
    {"DICT_4X4_50", 0, 50},
    {"DICT_4X4_100", 1, 100},
    {"DICT_4X4_250", 2, 250},
    {"DICT_4X4_1000", 3, 1000},
    {"DICT_5X5_50", 4, 50},
    {"DICT_5X5_100", 5, 100},
    {"DICT_5X5_250", 6, 250},
    {"DICT_5X5_1000", 7, 1000},
    {"DICT_6X6_50", 8, 50},
    {"DICT_6X6_100", 9, 100},
    {"DICT_6X6_250", 10, 250},
    {"DICT_6X6_1000", 11, 1000},
    {"DICT_7X7_50", 12, 50},
    {"DICT_7X7_100", 13, 100},
    {"DICT_7X7_250", 14, 250},
    {"DICT_7X7_1000", 15, 1000},
    {"DICT_ARUCO_ORIGINAL", 16, 1024},
    {"DICT_APRILTAG_16h5", 17, 30},
    {"DICT_APRILTAG_25h9", 18, 35},
    {"DICT_APRILTAG_36h10", 19, 2320},
    {"DICT_APRILTAG_36h11", 20, 587},
}};

const Dictionary* findDictionary(std::string_view name) {
    for (const auto& d : kDictionaries)
        if (d.name == name) return &d;
    return nullptr;
}

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, sep)) parts.push_back(part);
    if (!text.empty() && text.back() == sep) parts.emplace_back();
    return parts;
}

bool wholeNumber(const std::string& s, int low, int high, int& out) {
    if (s.empty() || s.size() > 6) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    out = std::atoi(s.c_str());
    return out >= low && out <= high;
}

bool metres(const std::string& s, double& out) {
    if (s.empty() || s.size() > 24) return false;
    char* end = nullptr;
    out = std::strtod(s.c_str(), &end);
    return end == s.c_str() + s.size() && std::isfinite(out) && out > 0 && out <= 10;
}

std::string shown(const std::string& text) { return text.size() > 80 ? text.substr(0, 80) + "..." : text; }

}  // namespace

double BoardSpec::width() const { return kind == BoardKind::Charuco ? columns * squareLength : markerLength; }

double BoardSpec::height() const { return kind == BoardKind::Charuco ? rows * squareLength : markerLength; }

std::string BoardSpec::text() const {
    std::ostringstream out;
    out.precision(9);
    if (kind == BoardKind::Charuco)
        out << "charuco:" << columns << 'x' << rows << ':' << squareLength << ':' << markerLength << ':' << dictionary;
    else
        out << "marker:" << markerId << ':' << markerLength << ':' << dictionary;
    return out.str();
}

std::optional<BoardSpec> parseBoardSpec(const std::string& text, std::string& error) {
    BoardSpec spec;
    const Dictionary* dictionary = findDictionary(spec.dictionary);
    if (text == "default") {
        spec.dictionaryId = dictionary->id;
        return spec;
    }
    const std::vector<std::string> parts = split(text, ':');
    auto fail = [&](const std::string& why) {
        error = "board \"" + shown(text) + "\": " + why;
        return std::nullopt;
    };
    if (parts.empty()) return fail("empty");
    if (parts[0] == "charuco") {
        if (parts.size() != 4 && parts.size() != 5) return fail("needs charuco:COLSxROWS:SQUARE:MARKER[:DICTIONARY]");
        const auto size = split(parts[1], 'x');
        if (size.size() != 2 || !wholeNumber(size[0], 2, 32, spec.columns) || !wholeNumber(size[1], 2, 32, spec.rows))
            return fail("COLSxROWS must be two whole numbers from 2 to 32, such as 5x7");
        if (!metres(parts[2], spec.squareLength) || !metres(parts[3], spec.markerLength))
            return fail("SQUARE and MARKER must be lengths in metres, above 0 and at most 10");
        if (spec.markerLength >= spec.squareLength) return fail("the marker must be smaller than the square");
        if (parts.size() == 5) spec.dictionary = parts[4];
    } else if (parts[0] == "marker") {
        spec.kind = BoardKind::Marker;
        spec.dictionary = "DICT_4X4_50";
        if (parts.size() != 3 && parts.size() != 4) return fail("needs marker:ID:SIZE[:DICTIONARY]");
        if (!wholeNumber(parts[1], 0, 9999, spec.markerId)) return fail("ID must be a whole number");
        if (!metres(parts[2], spec.markerLength))
            return fail("SIZE must be a length in metres, above 0 and at most 10");
        spec.squareLength = spec.markerLength;
        if (parts.size() == 4) spec.dictionary = parts[3];
    } else {
        return fail("starts with \"charuco:\" or \"marker:\"");
    }
    dictionary = findDictionary(spec.dictionary);
    if (!dictionary) return fail("unknown dictionary \"" + shown(spec.dictionary) + "\"");
    spec.dictionaryId = dictionary->id;
    const int needed = spec.kind == BoardKind::Charuco ? spec.columns * spec.rows / 2 : spec.markerId + 1;
    if (needed > dictionary->count)
        return fail(spec.dictionary + " has " + std::to_string(dictionary->count) + " markers; the board needs " +
                    std::to_string(needed));
    return spec;
}

}  // namespace tevra::live
