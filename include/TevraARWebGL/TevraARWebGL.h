/// @file
/// TevraARWebGL: the bridge between an AR camera session and a web page.
/// The one header a host application includes.
#pragma once

#include "TevraARWebGL/Globals.h"
#include "bridge/ViewControllerSDK.h"
#include "platform/Platform.h"
