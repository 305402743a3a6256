// Error codes carried by HException, grouped by area. No code is a multiple of 256, so an exit
// status that the operating system narrows to eight bits never reads 0 after a failure.
#pragma once

#include <cstdint>

namespace vision::err {

// 12xx: control parameters handed to an operator.
inline constexpr std::uint32_t kWrongParamType = 1201;   // wrong kind (text where a number belongs)
inline constexpr std::uint32_t kWrongParamValue = 1202;  // value outside what the parameter allows
inline constexpr std::uint32_t kWrongParamCount = 1203;  // wrong number of values
inline constexpr std::uint32_t kWrongParamRange = 1204;  // a range given the wrong way round
inline constexpr std::uint32_t kNullOutput = 1205;       // a required output pointer is null

// 21xx: tuple operations.
inline constexpr std::uint32_t kTupleEmpty = 2101;    // conversion of an empty tuple
inline constexpr std::uint32_t kTupleType = 2102;     // element of the wrong kind
inline constexpr std::uint32_t kTupleLength = 2103;   // operands of mismatched lengths
inline constexpr std::uint32_t kTupleFormat = 2104;   // bad format text
inline constexpr std::uint32_t kTupleIndex = 2105;    // index out of range
inline constexpr std::uint32_t kTupleDivZero = 2106;  // integer division by zero

// 22xx: process-wide settings.
inline constexpr std::uint32_t kSystemUnknownName = 2201;  // unknown setting
inline constexpr std::uint32_t kSystemBadValue = 2202;     // bad value for a setting

// 31xx: iconic objects (images, contours).
inline constexpr std::uint32_t kObjectEmpty = 3101;       // object not initialised / no objects
inline constexpr std::uint32_t kObjectKind = 3102;        // image expected, contour given, etc.
inline constexpr std::uint32_t kImageType = 3103;         // pixel type not supported here
inline constexpr std::uint32_t kImageSize = 3104;         // size zero, negative or too large
inline constexpr std::uint32_t kObjectIndex = 3105;       // object index out of range
inline constexpr std::uint32_t kContourNotClosed = 3106;  // closed contour required
inline constexpr std::uint32_t kOutOfMemory = 3107;       // allocation refused

// 51xx: windows and display.
inline constexpr std::uint32_t kNoDisplay = 5101;       // no display to connect to
inline constexpr std::uint32_t kWindowClosed = 5102;    // window was closed or never opened
inline constexpr std::uint32_t kPointerOutside = 5103;  // pointer is not inside the window
inline constexpr std::uint32_t kWindowAttr = 5104;      // unknown window attribute or value
inline constexpr std::uint32_t kWindowSystem = 5105;    // the window system refused a request

// 52xx: files.
inline constexpr std::uint32_t kFileNotFound = 5201;  // no such file on the search path
inline constexpr std::uint32_t kFileRead = 5202;      // file exists but cannot be read
inline constexpr std::uint32_t kFileFormat = 5203;    // unknown, corrupt or truncated file
inline constexpr std::uint32_t kFileLimits = 5204;    // header claims dimensions past the limits
inline constexpr std::uint32_t kFileWrite = 5205;     // file cannot be written

// 53xx: image acquisition.
inline constexpr std::uint32_t kAcqInterface = 5301;     // unknown acquisition interface
inline constexpr std::uint32_t kAcqNoDevice = 5302;      // no camera found / device not found
inline constexpr std::uint32_t kAcqOpen = 5303;          // camera found but cannot be opened
inline constexpr std::uint32_t kAcqNotOpen = 5304;       // handle not open
inline constexpr std::uint32_t kAcqUnknownParam = 5305;  // unknown parameter or feature
inline constexpr std::uint32_t kAcqParamValue = 5306;    // the camera refused the value
inline constexpr std::uint32_t kAcqReadOnly = 5307;      // feature cannot be written
inline constexpr std::uint32_t kAcqTimeout = 5308;       // no image within grab_timeout
inline constexpr std::uint32_t kAcqLost = 5309;          // camera vanished or stream broke
inline constexpr std::uint32_t kAcqPixelFormat = 5310;   // pixel format we cannot convert
inline constexpr std::uint32_t kAcqBuffer = 5311;        // incomplete or corrupt frame
inline constexpr std::uint32_t kAcqNotStarted = 5312;    // grab without acquisition

// 85xx: shape matching.
inline constexpr std::uint32_t kModelTooFewPoints = 8501;  // template has too few edge points
inline constexpr std::uint32_t kModelHandle = 8502;        // not a shape model handle
inline constexpr std::uint32_t kModelTooLarge = 8503;      // model would exceed memory limits

// 99xx: internal faults (a bug in the library, never expected).
inline constexpr std::uint32_t kInternal = 9901;

}  // namespace vision::err
