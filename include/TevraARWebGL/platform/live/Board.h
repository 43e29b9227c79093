/// @file
/// The printed board that defines the live session's world: one ArUco marker
/// or a ChArUco board (a chessboard with a marker in each white square).
///
/// World conventions, for a board lying flat and face up:
/// - the origin is the centre of the board's printed pattern;
/// - +x runs to the right along the printed page (as it is read);
/// - +z runs down the page, towards its bottom edge;
/// - +y comes out of the page: up, against gravity, when the board lies flat;
/// - metres, right-handed.
/// Gravity is taken as the board's normal: a board on a wall gives a world
/// whose "up" is horizontal.
///
/// Board text (`--board`):
/// @code{.unparsed}
///   charuco:COLSxROWS:SQUARE:MARKER[:DICTIONARY]   e.g. charuco:5x7:0.04:0.03:DICT_5X5_100
///   marker:ID:SIZE[:DICTIONARY]                     e.g. marker:0:0.15:DICT_4X4_50
/// @endcode
/// COLS and ROWS count squares across and down the page (2 to 32), SQUARE and
/// MARKER are the square's and the marker's side in metres (MARKER < SQUARE),
/// SIZE is a single marker's side. DICTIONARY is one of OpenCV's predefined
/// ArUco dictionaries by name; the default is DICT_5X5_100 for ChArUco boards
/// and DICT_4X4_50 for single markers. "default" is charuco:5x7:0.04:0.03,
/// 20 x 28 cm, which prints on an A4 page at 100 %.
#pragma once

#include <optional>
#include <string>

namespace tevra::live {

/// Which kind of board.
enum class BoardKind {
    /// A ChArUco board.
    Charuco,
    /// One ArUco marker.
    Marker
};

/// A board's geometry and marker dictionary.
struct BoardSpec {
    /// ChArUco board or single marker.
    BoardKind kind = BoardKind::Charuco;
    ///@{
    /// Squares across (x) and down (z) the page; ChArUco only.
    int columns = 5, rows = 7;
    ///@}
    /// A square's side in metres; ChArUco only.
    double squareLength = 0.04;
    /// A marker's side in metres.
    double markerLength = 0.03;
    /// The marker's identifier; single marker only.
    int markerId = 0;
    /// The dictionary's name ("DICT_5X5_100").
    std::string dictionary = "DICT_5X5_100";
    /// OpenCV's number for the dictionary (cv::aruco::PREDEFINED_DICTIONARY_NAME).
    int dictionaryId = 5;

    /// The printed pattern's width (x) in metres.
    double width() const;
    /// The printed pattern's height (z, down the page) in metres.
    double height() const;
    /// The board as text, in the form parseBoardSpec() reads.
    std::string text() const;
};

/// Parses a board text (see the file comment). None and `error` set for a
/// malformed text, an unknown dictionary or impossible sizes.
std::optional<BoardSpec> parseBoardSpec(const std::string& text, std::string& error);

}  // namespace tevra::live
