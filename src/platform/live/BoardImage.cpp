#include "platform/live/BoardImage.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace tevra::live {

cv::Ptr<cv::aruco::Dictionary> makeDictionary(const BoardSpec& spec) {
    return cv::aruco::getPredefinedDictionary(static_cast<cv::aruco::PREDEFINED_DICTIONARY_NAME>(spec.dictionaryId));
}

cv::Ptr<cv::aruco::CharucoBoard> makeCharucoBoard(const BoardSpec& spec) {
    if (spec.kind != BoardKind::Charuco) return {};
    return cv::aruco::CharucoBoard::create(spec.columns, spec.rows, static_cast<float>(spec.squareLength),
                                           static_cast<float>(spec.markerLength), makeDictionary(spec));
}

cv::Mat drawBoardImage(const BoardSpec& spec, double pixelsPerMetre) {
    const int width = std::max(1, static_cast<int>(std::lround(spec.width() * pixelsPerMetre)));
    const int height = std::max(1, static_cast<int>(std::lround(spec.height() * pixelsPerMetre)));
    cv::Mat image;
    if (spec.kind == BoardKind::Charuco) {
        makeCharucoBoard(spec)->draw(cv::Size(width, height), image, 0, 1);
    } else {
        cv::aruco::drawMarker(makeDictionary(spec), spec.markerId, width, image, 1);
        if (image.rows != height) cv::resize(image, image, cv::Size(width, height), 0, 0, cv::INTER_NEAREST);
    }
    return image;
}

}  // namespace tevra::live
