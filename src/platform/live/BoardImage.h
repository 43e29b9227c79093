// The board as OpenCV's ArUco module sees it, and as it is printed.
//
// drawBoardImage() gives the printed pattern at a resolution: pixel (u, v)
// of the image (u right, v down the page, over [0, cols] x [0, rows]) lies at
// world point (u / pixelsPerMetre - width / 2, 0, v / pixelsPerMetre -
// height / 2) for a board lying flat (platform/live/Board.h). Anything that
// renders or prints the board uses this image, so the world and the paper
// agree.
#pragma once

#include <opencv2/aruco.hpp>
#include <opencv2/aruco/charuco.hpp>
#include <opencv2/core.hpp>

#include "platform/live/Board.h"

namespace tevra::live {

// The board's marker dictionary.
cv::Ptr<cv::aruco::Dictionary> makeDictionary(const BoardSpec& spec);
// The ChArUco board of a ChArUco spec (null for a single marker).
cv::Ptr<cv::aruco::CharucoBoard> makeCharucoBoard(const BoardSpec& spec);
// The printed pattern, 8-bit grey, round(width * pixelsPerMetre) x
// round(height * pixelsPerMetre) pixels (white margin not included).
cv::Mat drawBoardImage(const BoardSpec& spec, double pixelsPerMetre);

}  // namespace tevra::live
