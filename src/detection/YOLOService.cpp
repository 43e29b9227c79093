#include "detection/YOLOService.h"

namespace tevra {

YOLOService::YOLOService()
    : manager(std::make_shared<YOLODetectionManager>()), processor(std::make_shared<YOLOFrameProcessor>(manager)) {}

}  // namespace tevra
