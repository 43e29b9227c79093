// The printable board: the pattern of platform/live/BoardImage.h at its true
// size with a 1 cm white margin, as a PNG that carries its resolution (so it
// prints at that size at 100 %) or as a one-page PDF of the exact physical
// size with a caption line under the pattern.
//
// Failure: false and one line in `error` (a file that cannot be written, a
// resolution or board that would make an absurd image).
#pragma once

#include <string>

#include "platform/live/Board.h"

namespace tevra::live {

// The white margin around the printed pattern, metres.
constexpr double kPrintMargin = 0.01;
// The band under the bottom margin of the PDF page that holds the caption, metres.
constexpr double kPrintCaptionBand = 0.01;

// Writes the board as an 8-bit grey PNG at `dotsPerInch` (72 to 1200) with
// its pHYs chunk.
bool writeBoardPng(const BoardSpec& board, double dotsPerInch, const std::string& path, std::string& error);

// Writes the board as a one-page PDF at its physical size. Frees cairo's and
// fontconfig's process-wide caches when done: for a program that prints the
// board and ends, not for one that draws text elsewhere.
bool writeBoardPdf(const BoardSpec& board, const std::string& path, std::string& error);

}  // namespace tevra::live
