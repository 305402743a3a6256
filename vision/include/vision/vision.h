// Umbrella header of the vision library.
#pragma once

#include "vision/HContourOps.h"
#include "vision/HErrorCodes.h"
#include "vision/HException.h"
#include "vision/HFramegrabber.h"
#include "vision/HImageFile.h"
#include "vision/HImageOps.h"
#include "vision/HMatching.h"
#include "vision/HObject.h"
#include "vision/HString.h"
#include "vision/HSystem.h"
#include "vision/HTuple.h"
#include "vision/HWindow.h"
#include "vision/Version.h"
