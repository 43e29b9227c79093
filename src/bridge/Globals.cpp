#include "TevraARWebGL/Globals.h"

#ifndef TEVRA_VERSION_STRING
#define TEVRA_VERSION_STRING "1.0.0"
#endif

extern "C" {
float cameraFrameJpegCompressionFactor = 0.9f;
int32_t targetFrameWidth = 540;
int32_t targetFrameHeight = 960;
const int32_t SEND_CAMERA_FRAME_TO_JS = 0;

const double TevraARWebGLVersionNumber = 1.0;
const unsigned char TevraARWebGLVersionString[] =
    "@(#)PROGRAM:TevraARWebGL  PROJECT:TevraARWebGL-" TEVRA_VERSION_STRING "\n";
}
