// Our own declarations of the GenTL 1.6 C interface (transport-layer producers, ".cti" files),
// written from the published numeric values: handle and value types, error codes, every command
// and identifier list, the packed structures, the calling convention, and one function-pointer
// type per function. Used by the library's consumer (which loads producers at run time and calls
// them through the pointer types) and by the simulated camera's producer (which defines the
// functions and exports them).
//
// Every enumeration type of the interface is a 32-bit signed integer on the wire: the types are
// aliases of std::int32_t and the values are plain constants, so an unknown value a producer
// returns is representable. The structures are byte-packed like the reference layout; static
// assertions below pin their sizes and offsets for 32- and 64-bit targets.
#pragma once

#include <cstddef>
#include <cstdint>

// Calling convention of every function and function pointer: stdcall on 32-bit x86 (Windows,
// and GCC on other 32-bit x86 systems), the platform's default everywhere else (the Microsoft x64
// convention on 64-bit Windows, the System V / AAPCS conventions on Linux x86-64 and arm64).
#if defined(_WIN32) && (defined(_M_IX86) || defined(__i386__))
#define VISION_GC_CALLTYPE __stdcall
#elif defined(__i386__) && defined(__GNUC__) && __GNUC__ >= 4
#define VISION_GC_CALLTYPE __attribute__((stdcall))
#else
#define VISION_GC_CALLTYPE
#endif

// Export of the functions from a producer: a producer defines VISION_GENTL_BUILDING_PRODUCER
// before including this header. Consumers load producers at run time and import nothing.
#if defined(VISION_GENTL_BUILDING_PRODUCER)
#if defined(_WIN32)
#define VISION_GC_EXPORT __declspec(dllexport)
#else
#define VISION_GC_EXPORT __attribute__((visibility("default")))
#endif
#else
#define VISION_GC_EXPORT
#endif

namespace vision::gentl {

// ---- Basic types -------------------------------------------------------------------------------

using GC_ERROR = std::int32_t;
using bool8_t = bool;  // one byte on every supported ABI (asserted below)

using TL_HANDLE = void*;
using IF_HANDLE = void*;
using DEV_HANDLE = void*;
using DS_HANDLE = void*;
using PORT_HANDLE = void*;  // any module handle, or the remote device port from DevGetPort
using BUFFER_HANDLE = void*;
using EVENTSRC_HANDLE = void*;
using EVENT_HANDLE = void*;

inline constexpr void* GENTL_INVALID_HANDLE = nullptr;
inline constexpr std::uint64_t GENTL_INFINITE = 0xFFFFFFFFFFFFFFFFull;

constexpr std::uint32_t GC_GENTL_HEADER_VERSION_CODE(std::uint32_t major, std::uint32_t minor,
                                                     std::uint32_t sub) {
  return (major << 24) + (minor << 16) + sub;
}
inline constexpr std::uint32_t GC_GENTL_VERSION_MAJOR = 1;
inline constexpr std::uint32_t GC_GENTL_VERSION_MINOR = 6;

// ---- Error codes -------------------------------------------------------------------------------

enum : GC_ERROR {
  GC_ERR_SUCCESS = 0,
  GC_ERR_ERROR = -1001,
  GC_ERR_NOT_INITIALIZED = -1002,
  GC_ERR_NOT_IMPLEMENTED = -1003,
  GC_ERR_RESOURCE_IN_USE = -1004,
  GC_ERR_ACCESS_DENIED = -1005,
  GC_ERR_INVALID_HANDLE = -1006,
  GC_ERR_INVALID_ID = -1007,
  GC_ERR_NO_DATA = -1008,
  GC_ERR_INVALID_PARAMETER = -1009,
  GC_ERR_IO = -1010,
  GC_ERR_TIMEOUT = -1011,
  GC_ERR_ABORT = -1012,             // 1.1
  GC_ERR_INVALID_BUFFER = -1013,    // 1.1
  GC_ERR_NOT_AVAILABLE = -1014,     // 1.2
  GC_ERR_INVALID_ADDRESS = -1015,   // 1.3
  GC_ERR_BUFFER_TOO_SMALL = -1016,  // 1.4
  GC_ERR_INVALID_INDEX = -1017,
  GC_ERR_PARSING_CHUNK_DATA = -1018,
  GC_ERR_INVALID_VALUE = -1019,
  GC_ERR_RESOURCE_EXHAUSTED = -1020,
  GC_ERR_OUT_OF_MEMORY = -1021,
  GC_ERR_BUSY = -1022,       // 1.5
  GC_ERR_AMBIGUOUS = -1023,  // 1.6
  GC_ERR_CUSTOM_ID = -10000,
};

// ---- Data types of the info queries
// --------------------------------------------------------------

using INFO_DATATYPE = std::int32_t;
enum : INFO_DATATYPE {
  INFO_DATATYPE_UNKNOWN = 0,
  INFO_DATATYPE_STRING = 1,
  INFO_DATATYPE_STRINGLIST = 2,  // NUL-terminated strings, the list ended by one more NUL
  INFO_DATATYPE_INT16 = 3,
  INFO_DATATYPE_UINT16 = 4,
  INFO_DATATYPE_INT32 = 5,
  INFO_DATATYPE_UINT32 = 6,
  INFO_DATATYPE_INT64 = 7,
  INFO_DATATYPE_UINT64 = 8,
  INFO_DATATYPE_FLOAT64 = 9,
  INFO_DATATYPE_PTR = 10,
  INFO_DATATYPE_BOOL8 = 11,
  INFO_DATATYPE_SIZET = 12,
  INFO_DATATYPE_BUFFER = 13,   // raw bytes, no terminating NUL
  INFO_DATATYPE_PTRDIFF = 14,  // 1.3
  INFO_DATATYPE_CUSTOM_ID = 1000,
};

// ---- System module -----------------------------------------------------------------------------

using TL_INFO_CMD = std::int32_t;
enum : TL_INFO_CMD {
  TL_INFO_ID = 0,
  TL_INFO_VENDOR = 1,
  TL_INFO_MODEL = 2,
  TL_INFO_VERSION = 3,
  TL_INFO_TLTYPE = 4,
  TL_INFO_NAME = 5,      // file name of the producer
  TL_INFO_PATHNAME = 6,  // full path of the producer
  TL_INFO_DISPLAYNAME = 7,
  TL_INFO_CHAR_ENCODING = 8,     // INT32, 1.4
  TL_INFO_GENTL_VER_MAJOR = 9,   // UINT32, 1.5
  TL_INFO_GENTL_VER_MINOR = 10,  // UINT32, 1.5
  TL_INFO_CUSTOM_ID = 1000,
};

using TL_CHAR_ENCODING = std::int32_t;
enum : TL_CHAR_ENCODING {
  TL_CHAR_ENCODING_ASCII = 0,
  TL_CHAR_ENCODING_UTF8 = 1,
};

// ---- Interface module --------------------------------------------------------------------------

using INTERFACE_INFO_CMD = std::int32_t;
enum : INTERFACE_INFO_CMD {
  INTERFACE_INFO_ID = 0,
  INTERFACE_INFO_DISPLAYNAME = 1,
  INTERFACE_INFO_TLTYPE = 2,
  INTERFACE_INFO_CUSTOM_ID = 1000,
};

// ---- Device module -----------------------------------------------------------------------------

using DEVICE_INFO_CMD = std::int32_t;
enum : DEVICE_INFO_CMD {
  DEVICE_INFO_ID = 0,
  DEVICE_INFO_VENDOR = 1,
  DEVICE_INFO_MODEL = 2,
  DEVICE_INFO_TLTYPE = 3,
  DEVICE_INFO_DISPLAYNAME = 4,
  DEVICE_INFO_ACCESS_STATUS = 5,        // INT32, a DEVICE_ACCESS_STATUS
  DEVICE_INFO_USER_DEFINED_NAME = 6,    // 1.4
  DEVICE_INFO_SERIAL_NUMBER = 7,        // 1.4
  DEVICE_INFO_VERSION = 8,              // 1.4
  DEVICE_INFO_TIMESTAMP_FREQUENCY = 9,  // UINT64, 1.4
  DEVICE_INFO_CUSTOM_ID = 1000,
};

using DEVICE_ACCESS_FLAGS = std::int32_t;
enum : DEVICE_ACCESS_FLAGS {
  DEVICE_ACCESS_UNKNOWN = 0,  // never an open request
  DEVICE_ACCESS_NONE = 1,
  DEVICE_ACCESS_READONLY = 2,
  DEVICE_ACCESS_CONTROL = 3,  // others may still read
  DEVICE_ACCESS_EXCLUSIVE = 4,
  DEVICE_ACCESS_CUSTOM_ID = 1000,
};

using DEVICE_ACCESS_STATUS = std::int32_t;
enum : DEVICE_ACCESS_STATUS {
  DEVICE_ACCESS_STATUS_UNKNOWN = 0,
  DEVICE_ACCESS_STATUS_READWRITE = 1,
  DEVICE_ACCESS_STATUS_READONLY = 2,
  DEVICE_ACCESS_STATUS_NOACCESS = 3,
  DEVICE_ACCESS_STATUS_BUSY = 4,            // opened by another process or host, 1.5
  DEVICE_ACCESS_STATUS_OPEN_READWRITE = 5,  // opened by this process, 1.5
  DEVICE_ACCESS_STATUS_OPEN_READONLY = 6,   // 1.5
  DEVICE_ACCESS_STATUS_CUSTOM_ID = 1000,
};

// ---- Data stream module ------------------------------------------------------------------------

using ACQ_START_FLAGS = std::int32_t;
enum : ACQ_START_FLAGS {
  ACQ_START_FLAGS_DEFAULT = 0,
  ACQ_START_FLAGS_CUSTOM_ID = 1000,
};

using ACQ_STOP_FLAGS = std::int32_t;
enum : ACQ_STOP_FLAGS {
  ACQ_STOP_FLAGS_DEFAULT = 0,  // finish the buffer being filled
  ACQ_STOP_FLAGS_KILL = 1,     // stop at once; the buffer being filled returns to the input pool
  ACQ_STOP_FLAGS_CUSTOM_ID = 1000,
};

using ACQ_QUEUE_TYPE = std::int32_t;
enum : ACQ_QUEUE_TYPE {
  ACQ_QUEUE_INPUT_TO_OUTPUT = 0,  // input pool to output queue, with NEW_BUFFER events
  ACQ_QUEUE_OUTPUT_DISCARD = 1,
  ACQ_QUEUE_ALL_TO_INPUT = 2,
  ACQ_QUEUE_UNQUEUED_TO_INPUT = 3,
  ACQ_QUEUE_ALL_DISCARD = 4,
  ACQ_QUEUE_CUSTOM_ID = 1000,
};

using STREAM_INFO_CMD = std::int32_t;
enum : STREAM_INFO_CMD {
  STREAM_INFO_ID = 0,                          // STRING
  STREAM_INFO_NUM_DELIVERED = 1,               // UINT64
  STREAM_INFO_NUM_UNDERRUN = 2,                // UINT64: frames lost for want of a queued buffer
  STREAM_INFO_NUM_ANNOUNCED = 3,               // SIZET
  STREAM_INFO_NUM_QUEUED = 4,                  // SIZET: buffers in the input pool
  STREAM_INFO_NUM_AWAIT_DELIVERY = 5,          // SIZET: buffers in the output queue
  STREAM_INFO_NUM_STARTED = 6,                 // UINT64
  STREAM_INFO_PAYLOAD_SIZE = 7,                // SIZET
  STREAM_INFO_IS_GRABBING = 8,                 // BOOL8
  STREAM_INFO_DEFINES_PAYLOADSIZE = 9,         // BOOL8
  STREAM_INFO_TLTYPE = 10,                     // STRING
  STREAM_INFO_NUM_CHUNKS_MAX = 11,             // SIZET, 1.3
  STREAM_INFO_BUF_ANNOUNCE_MIN = 12,           // SIZET, 1.3
  STREAM_INFO_BUF_ALIGNMENT = 13,              // SIZET, 1.3
  STREAM_INFO_FLOW_TABLE = 14,                 // BUFFER, 1.6
  STREAM_INFO_GENDC_PREFETCH_DESCRIPTOR = 15,  // BUFFER, 1.6
  STREAM_INFO_CUSTOM_ID = 1000,
};

using BUFFER_INFO_CMD = std::int32_t;
enum : BUFFER_INFO_CMD {
  BUFFER_INFO_BASE = 0,           // PTR
  BUFFER_INFO_SIZE = 1,           // SIZET
  BUFFER_INFO_USER_PTR = 2,       // PTR
  BUFFER_INFO_TIMESTAMP = 3,      // UINT64, device ticks
  BUFFER_INFO_NEW_DATA = 4,       // BOOL8
  BUFFER_INFO_IS_QUEUED = 5,      // BOOL8
  BUFFER_INFO_IS_ACQUIRING = 6,   // BOOL8
  BUFFER_INFO_IS_INCOMPLETE = 7,  // BOOL8
  BUFFER_INFO_TLTYPE = 8,         // STRING
  BUFFER_INFO_SIZE_FILLED = 9,    // SIZET, 0 again when the buffer is queued
  BUFFER_INFO_WIDTH = 10,         // SIZET (10 .. 25: 1.2)
  BUFFER_INFO_HEIGHT = 11,
  BUFFER_INFO_XOFFSET = 12,
  BUFFER_INFO_YOFFSET = 13,
  BUFFER_INFO_XPADDING = 14,
  BUFFER_INFO_YPADDING = 15,
  BUFFER_INFO_FRAMEID = 16,                     // UINT64
  BUFFER_INFO_IMAGEPRESENT = 17,                // BOOL8
  BUFFER_INFO_IMAGEOFFSET = 18,                 // SIZET
  BUFFER_INFO_PAYLOADTYPE = 19,                 // SIZET (not INT32)
  BUFFER_INFO_PIXELFORMAT = 20,                 // UINT64
  BUFFER_INFO_PIXELFORMAT_NAMESPACE = 21,       // UINT64 (not INT32)
  BUFFER_INFO_DELIVERED_IMAGEHEIGHT = 22,       // SIZET
  BUFFER_INFO_DELIVERED_CHUNKPAYLOADSIZE = 23,  // SIZET
  BUFFER_INFO_CHUNKLAYOUTID = 24,               // UINT64
  BUFFER_INFO_FILENAME = 25,                    // STRING
  BUFFER_INFO_PIXEL_ENDIANNESS = 26,            // INT32 (26 .. 30: 1.4)
  BUFFER_INFO_DATA_SIZE = 27,                   // SIZET
  BUFFER_INFO_TIMESTAMP_NS = 28,                // UINT64
  BUFFER_INFO_DATA_LARGER_THAN_BUFFER = 29,     // BOOL8
  BUFFER_INFO_CONTAINS_CHUNKDATA = 30,          // BOOL8
  BUFFER_INFO_IS_COMPOSITE = 31,                // BOOL8, 1.6
  BUFFER_INFO_CUSTOM_ID = 1000,
};

using PAYLOADTYPE_INFO_ID = std::int32_t;
enum : PAYLOADTYPE_INFO_ID {
  PAYLOAD_TYPE_UNKNOWN = 0,
  PAYLOAD_TYPE_IMAGE = 1,
  PAYLOAD_TYPE_RAW_DATA = 2,
  PAYLOAD_TYPE_FILE = 3,
  PAYLOAD_TYPE_CHUNK_DATA = 4,  // deprecated since 1.5
  PAYLOAD_TYPE_JPEG = 5,
  PAYLOAD_TYPE_JPEG2000 = 6,
  PAYLOAD_TYPE_H264 = 7,
  PAYLOAD_TYPE_CHUNK_ONLY = 8,
  PAYLOAD_TYPE_DEVICE_SPECIFIC = 9,
  PAYLOAD_TYPE_MULTI_PART = 10,  // 1.5
  PAYLOAD_TYPE_GENDC = 11,       // 1.6
  PAYLOAD_TYPE_CUSTOM_ID = 1000,
};

using PIXELFORMAT_NAMESPACE_ID = std::int32_t;
enum : PIXELFORMAT_NAMESPACE_ID {
  PIXELFORMAT_NAMESPACE_UNKNOWN = 0,
  PIXELFORMAT_NAMESPACE_GEV = 1,
  PIXELFORMAT_NAMESPACE_IIDC = 2,
  PIXELFORMAT_NAMESPACE_PFNC_16BIT = 3,
  PIXELFORMAT_NAMESPACE_PFNC_32BIT = 4,
  PIXELFORMAT_NAMESPACE_CUSTOM_ID = 1000,
};

using PIXELENDIANNESS_ID = std::int32_t;
enum : PIXELENDIANNESS_ID {
  PIXELENDIANNESS_UNKNOWN = 0,
  PIXELENDIANNESS_LITTLE = 1,
  PIXELENDIANNESS_BIG = 2,
};

using BUFFER_PART_INFO_CMD = std::int32_t;  // 1.5
enum : BUFFER_PART_INFO_CMD {
  BUFFER_PART_INFO_BASE = 0,
  BUFFER_PART_INFO_DATA_SIZE = 1,
  BUFFER_PART_INFO_DATA_TYPE = 2,
  BUFFER_PART_INFO_DATA_FORMAT = 3,
  BUFFER_PART_INFO_DATA_FORMAT_NAMESPACE = 4,
  BUFFER_PART_INFO_WIDTH = 5,
  BUFFER_PART_INFO_HEIGHT = 6,
  BUFFER_PART_INFO_XOFFSET = 7,
  BUFFER_PART_INFO_YOFFSET = 8,
  BUFFER_PART_INFO_XPADDING = 9,
  BUFFER_PART_INFO_SOURCE_ID = 10,
  BUFFER_PART_INFO_DELIVERED_IMAGEHEIGHT = 11,
  BUFFER_PART_INFO_REGION_ID = 12,        // 1.6
  BUFFER_PART_INFO_DATA_PURPOSE_ID = 13,  // 1.6
  BUFFER_PART_INFO_CUSTOM_ID = 1000,
};

using PARTDATATYPE_ID = std::int32_t;
enum : PARTDATATYPE_ID {
  PART_DATATYPE_UNKNOWN = 0,
  PART_DATATYPE_2D_IMAGE = 1,
  PART_DATATYPE_2D_PLANE_BIPLANAR = 2,
  PART_DATATYPE_2D_PLANE_TRIPLANAR = 3,
  PART_DATATYPE_2D_PLANE_QUADPLANAR = 4,
  PART_DATATYPE_3D_IMAGE = 5,
  PART_DATATYPE_3D_PLANE_BIPLANAR = 6,
  PART_DATATYPE_3D_PLANE_TRIPLANAR = 7,
  PART_DATATYPE_3D_PLANE_QUADPLANAR = 8,
  PART_DATATYPE_CONFIDENCE_MAP = 9,
  PART_DATATYPE_JPEG = 10,
  PART_DATATYPE_JPEG2000 = 11,
  PART_DATATYPE_CUSTOM_ID = 1000,
};

using FLOW_INFO_CMD = std::int32_t;  // 1.6
enum : FLOW_INFO_CMD {
  FLOW_INFO_SIZE = 0,
  FLOW_INFO_CUSTOM_ID = 1000,
};

using SEGMENT_INFO_CMD = std::int32_t;  // 1.6
enum : SEGMENT_INFO_CMD {
  SEGMENT_INFO_BASE = 0,
  SEGMENT_INFO_SIZE = 1,
  SEGMENT_INFO_IS_INCOMPLETE = 2,
  SEGMENT_INFO_SIZE_FILLED = 3,
  SEGMENT_INFO_DATA_SIZE = 4,
  SEGMENT_INFO_CUSTOM_ID = 1000,
};

// ---- Ports and their description files
// ------------------------------------------------------------

using PORT_INFO_CMD = std::int32_t;
enum : PORT_INFO_CMD {
  PORT_INFO_ID = 0,
  PORT_INFO_VENDOR = 1,
  PORT_INFO_MODEL = 2,
  PORT_INFO_TLTYPE = 3,
  PORT_INFO_MODULE = 4,
  PORT_INFO_LITTLE_ENDIAN = 5,  // BOOL8 (5 .. 10)
  PORT_INFO_BIG_ENDIAN = 6,
  PORT_INFO_ACCESS_READ = 7,
  PORT_INFO_ACCESS_WRITE = 8,
  PORT_INFO_ACCESS_NA = 9,
  PORT_INFO_ACCESS_NI = 10,
  PORT_INFO_VERSION = 11,
  PORT_INFO_PORTNAME = 12,  // the name of the description's Port node to connect
  PORT_INFO_CUSTOM_ID = 1000,
};

using URL_INFO_CMD = std::int32_t;  // 1.1
enum : URL_INFO_CMD {
  URL_INFO_URL = 0,               // STRING
  URL_INFO_SCHEMA_VER_MAJOR = 1,  // INT32 (1 .. 5)
  URL_INFO_SCHEMA_VER_MINOR = 2,
  URL_INFO_FILE_VER_MAJOR = 3,
  URL_INFO_FILE_VER_MINOR = 4,
  URL_INFO_FILE_VER_SUBMINOR = 5,
  URL_INFO_FILE_SHA1_HASH = 6,         // BUFFER of 20 bytes, 1.4
  URL_INFO_FILE_REGISTER_ADDRESS = 7,  // UINT64, 1.5
  URL_INFO_FILE_SIZE = 8,              // UINT64, 1.5
  URL_INFO_SCHEME = 9,                 // INT32, a URL_SCHEME_ID, 1.5
  URL_INFO_FILENAME = 10,              // STRING, 1.5
  URL_INFO_CUSTOM_ID = 1000,
};

using URL_SCHEME_ID = std::int32_t;
enum : URL_SCHEME_ID {
  URL_SCHEME_LOCAL = 0,
  URL_SCHEME_HTTP = 1,
  URL_SCHEME_FILE = 2,
  URL_SCHEME_CUSTOM_ID = 1000,
};

// ---- Events
// --------------------------------------------------------------------------------------

using EVENT_TYPE = std::int32_t;
enum : EVENT_TYPE {
  EVENT_ERROR = 0,
  EVENT_NEW_BUFFER = 1,
  EVENT_FEATURE_INVALIDATE = 2,
  EVENT_FEATURE_CHANGE = 3,
  EVENT_REMOTE_DEVICE = 4,
  EVENT_MODULE = 5,  // 1.4
  EVENT_CUSTOM_ID = 1000,
};

using EVENT_INFO_CMD = std::int32_t;
enum : EVENT_INFO_CMD {
  EVENT_EVENT_TYPE = 0,          // INT32
  EVENT_NUM_IN_QUEUE = 1,        // SIZET
  EVENT_NUM_FIRED = 2,           // UINT64
  EVENT_SIZE_MAX = 3,            // SIZET, 1.2
  EVENT_INFO_DATA_SIZE_MAX = 4,  // SIZET, 1.2
  EVENT_INFO_CUSTOM_ID = 1000,
};

using EVENT_DATA_INFO_CMD = std::int32_t;
enum : EVENT_DATA_INFO_CMD {
  EVENT_DATA_ID = 0,
  EVENT_DATA_VALUE = 1,
  EVENT_DATA_NUMID = 2,  // UINT64, 1.3
  EVENT_DATA_CUSTOM_ID = 1000,
};

// ---- Structures (byte-packed) -------------------------------------------------------------------

#pragma pack(push, 1)

// The data of one EVENT_NEW_BUFFER event.
struct EVENT_NEW_BUFFER_DATA {
  BUFFER_HANDLE BufferHandle;
  void* pUserPointer;  // the pPrivate given when the buffer was announced
};

// One access of GCReadPortStacked / GCWritePortStacked.
struct PORT_REGISTER_STACK_ENTRY {
  std::uint64_t Address;
  void* pBuffer;
  std::size_t Size;
};

// One chunk of a buffer (DSGetBufferChunkData, 1.3).
struct SINGLE_CHUNK_DATA {
  std::uint64_t ChunkID;
  std::ptrdiff_t ChunkOffset;
  std::size_t ChunkLength;
};

// One query of DSGetBufferInfoStacked (1.6).
struct DS_BUFFER_INFO_STACKED {
  BUFFER_INFO_CMD iInfoCmd;
  INFO_DATATYPE iType;
  void* pBuffer;
  std::size_t iSize;
  GC_ERROR iResult;
};

// One query of DSGetBufferPartInfoStacked (1.6).
struct DS_BUFFER_PART_INFO_STACKED {
  std::uint32_t iPartIndex;
  BUFFER_PART_INFO_CMD iInfoCmd;
  GC_ERROR iResult;
  INFO_DATATYPE iType;
  void* pBuffer;
  std::size_t iSize;
};

#pragma pack(pop)

// The layouts are part of the binary interface: a packing or field-order slip would pass every
// compile and corrupt every call, so the sizes and offsets are pinned for both pointer widths.
static_assert(sizeof(bool8_t) == 1, "bool8_t must be one byte");
static_assert(sizeof(void*) == 8 || sizeof(void*) == 4, "only 32- and 64-bit targets");
static_assert(sizeof(std::size_t) == sizeof(void*) && sizeof(std::ptrdiff_t) == sizeof(void*));
inline constexpr std::size_t kGenTLPtrSize = sizeof(void*);
static_assert(sizeof(EVENT_NEW_BUFFER_DATA) == 2 * kGenTLPtrSize);  // 16 / 8
static_assert(offsetof(EVENT_NEW_BUFFER_DATA, pUserPointer) == kGenTLPtrSize);
static_assert(sizeof(PORT_REGISTER_STACK_ENTRY) == 8 + 2 * kGenTLPtrSize);  // 24 / 16
static_assert(offsetof(PORT_REGISTER_STACK_ENTRY, pBuffer) == 8);
static_assert(offsetof(PORT_REGISTER_STACK_ENTRY, Size) == 8 + kGenTLPtrSize);
static_assert(sizeof(SINGLE_CHUNK_DATA) == 8 + 2 * kGenTLPtrSize);  // 24 / 16
static_assert(offsetof(SINGLE_CHUNK_DATA, ChunkOffset) == 8);
static_assert(offsetof(SINGLE_CHUNK_DATA, ChunkLength) == 8 + kGenTLPtrSize);
static_assert(sizeof(DS_BUFFER_INFO_STACKED) == 12 + 2 * kGenTLPtrSize);  // 28 / 20
static_assert(offsetof(DS_BUFFER_INFO_STACKED, iType) == 4);
static_assert(offsetof(DS_BUFFER_INFO_STACKED, pBuffer) == 8);
static_assert(offsetof(DS_BUFFER_INFO_STACKED, iSize) == 8 + kGenTLPtrSize);
static_assert(offsetof(DS_BUFFER_INFO_STACKED, iResult) == 8 + 2 * kGenTLPtrSize);
static_assert(sizeof(DS_BUFFER_PART_INFO_STACKED) == 16 + 2 * kGenTLPtrSize);  // 32 / 24
static_assert(offsetof(DS_BUFFER_PART_INFO_STACKED, iInfoCmd) == 4);
static_assert(offsetof(DS_BUFFER_PART_INFO_STACKED, iResult) == 8);
static_assert(offsetof(DS_BUFFER_PART_INFO_STACKED, iType) == 12);
static_assert(offsetof(DS_BUFFER_PART_INFO_STACKED, pBuffer) == 16);
static_assert(offsetof(DS_BUFFER_PART_INFO_STACKED, iSize) == 16 + kGenTLPtrSize);

// ---- Functions
// -----------------------------------------------------------------------------------
//
// Every function returns a GC_ERROR. Info queries follow one protocol: *piSize holds the size of
// pBuffer on entry and the size written (or needed) on return; pBuffer == NULL asks for the size
// only; a string's size counts its terminating NUL; a buffer that is too small gives
// GC_ERR_BUFFER_TOO_SMALL. The functions added after 1.0 (marked with their version) may be
// missing from older producers.
//
// X(name, minor, parameter list) lists them all once, with the minor version of 1.x that added
// the function (0: present since 1.0, what a consumer may require of every producer). The list
// yields the prototypes (for a producer defining them), the pointer types P<name> (for a consumer
// loading them) and the table kFunctions.
#define VISION_GENTL_FUNCTIONS(X)                                                                  \
  /* Library */                                                                                    \
  X(GCInitLib, 0, (void))                                                                          \
  X(GCCloseLib, 0, (void))                                                                         \
  X(GCGetInfo, 0, (TL_INFO_CMD iInfoCmd, INFO_DATATYPE * piType, void* pBuffer, size_t* piSize))   \
  X(GCGetLastError, 0, (GC_ERROR * piErrorCode, char* sErrText, size_t* piSize))                   \
  /* Ports: any module handle, or the remote device port */                                        \
  X(GCReadPort, 0, (PORT_HANDLE hPort, uint64_t iAddress, void* pBuffer, size_t* piSize))          \
  X(GCWritePort, 0, (PORT_HANDLE hPort, uint64_t iAddress, const void* pBuffer, size_t* piSize))   \
  X(GCGetPortURL, 0, (PORT_HANDLE hPort, char* sURL, size_t* piSize))                              \
  X(GCGetPortInfo, 0,                                                                              \
    (PORT_HANDLE hPort, PORT_INFO_CMD iInfoCmd, INFO_DATATYPE * piType, void* pBuffer,             \
     size_t* piSize))                                                                              \
  X(GCGetNumPortURLs, 1, (PORT_HANDLE hPort, uint32_t * piNumURLs))                                \
  X(GCGetPortURLInfo, 1,                                                                           \
    (PORT_HANDLE hPort, uint32_t iURLIndex, URL_INFO_CMD iInfoCmd, INFO_DATATYPE * piType,         \
     void* pBuffer, size_t* piSize))                                                               \
  X(GCReadPortStacked, 1,                                                                          \
    (PORT_HANDLE hPort, PORT_REGISTER_STACK_ENTRY * pEntries, size_t * piNumEntries))              \
  X(GCWritePortStacked, 1,                                                                         \
    (PORT_HANDLE hPort, PORT_REGISTER_STACK_ENTRY * pEntries, size_t * piNumEntries))              \
  /* Events */                                                                                     \
  X(GCRegisterEvent, 0, (EVENTSRC_HANDLE hEventSrc, EVENT_TYPE iEventID, EVENT_HANDLE * phEvent))  \
  X(GCUnregisterEvent, 0, (EVENTSRC_HANDLE hEventSrc, EVENT_TYPE iEventID))                        \
  X(EventGetData, 0, (EVENT_HANDLE hEvent, void* pBuffer, size_t* piSize, uint64_t iTimeout))      \
  X(EventGetDataInfo, 0,                                                                           \
    (EVENT_HANDLE hEvent, const void* pInBuffer, size_t iInSize, EVENT_DATA_INFO_CMD iInfoCmd,     \
     INFO_DATATYPE* piType, void* pOutBuffer, size_t* piOutSize))                                  \
  X(EventGetInfo, 0,                                                                               \
    (EVENT_HANDLE hEvent, EVENT_INFO_CMD iInfoCmd, INFO_DATATYPE * piType, void* pBuffer,          \
     size_t* piSize))                                                                              \
  X(EventFlush, 0, (EVENT_HANDLE hEvent))                                                          \
  X(EventKill, 0, (EVENT_HANDLE hEvent))                                                           \
  /* System */                                                                                     \
  X(TLOpen, 0, (TL_HANDLE * phTL))                                                                 \
  X(TLClose, 0, (TL_HANDLE hTL))                                                                   \
  X(TLGetInfo, 0,                                                                                  \
    (TL_HANDLE hTL, TL_INFO_CMD iInfoCmd, INFO_DATATYPE * piType, void* pBuffer, size_t* piSize))  \
  X(TLGetNumInterfaces, 0, (TL_HANDLE hTL, uint32_t * piNumIfaces))                                \
  X(TLGetInterfaceID, 0, (TL_HANDLE hTL, uint32_t iIndex, char* sID, size_t* piSize))              \
  X(TLGetInterfaceInfo, 0,                                                                         \
    (TL_HANDLE hTL, const char* sIfaceID, INTERFACE_INFO_CMD iInfoCmd, INFO_DATATYPE* piType,      \
     void* pBuffer, size_t* piSize))                                                               \
  X(TLOpenInterface, 0, (TL_HANDLE hTL, const char* sIfaceID, IF_HANDLE* phIface))                 \
  X(TLUpdateInterfaceList, 0, (TL_HANDLE hTL, bool8_t * pbChanged, uint64_t iTimeout))             \
  /* Interface */                                                                                  \
  X(IFClose, 0, (IF_HANDLE hIface))                                                                \
  X(IFGetInfo, 0,                                                                                  \
    (IF_HANDLE hIface, INTERFACE_INFO_CMD iInfoCmd, INFO_DATATYPE * piType, void* pBuffer,         \
     size_t* piSize))                                                                              \
  X(IFGetNumDevices, 0, (IF_HANDLE hIface, uint32_t * piNumDevices))                               \
  X(IFGetDeviceID, 0, (IF_HANDLE hIface, uint32_t iIndex, char* sIDeviceID, size_t* piSize))       \
  X(IFUpdateDeviceList, 0, (IF_HANDLE hIface, bool8_t * pbChanged, uint64_t iTimeout))             \
  X(IFGetDeviceInfo, 0,                                                                            \
    (IF_HANDLE hIface, const char* sDeviceID, DEVICE_INFO_CMD iInfoCmd, INFO_DATATYPE* piType,     \
     void* pBuffer, size_t* piSize))                                                               \
  X(IFOpenDevice, 0,                                                                               \
    (IF_HANDLE hIface, const char* sDeviceID, DEVICE_ACCESS_FLAGS iOpenFlag,                       \
     DEV_HANDLE* phDevice))                                                                        \
  X(IFGetParentTL, 4, (IF_HANDLE hIface, TL_HANDLE * phSystem))                                    \
  /* Device */                                                                                     \
  X(DevGetPort, 0, (DEV_HANDLE hDevice, PORT_HANDLE * phRemoteDevice))                             \
  X(DevGetNumDataStreams, 0, (DEV_HANDLE hDevice, uint32_t * piNumDataStreams))                    \
  X(DevGetDataStreamID, 0,                                                                         \
    (DEV_HANDLE hDevice, uint32_t iIndex, char* sDataStreamID, size_t* piSize))                    \
  X(DevOpenDataStream, 0,                                                                          \
    (DEV_HANDLE hDevice, const char* sDataStreamID, DS_HANDLE* phDataStream))                      \
  X(DevGetInfo, 0,                                                                                 \
    (DEV_HANDLE hDevice, DEVICE_INFO_CMD iInfoCmd, INFO_DATATYPE * piType, void* pBuffer,          \
     size_t* piSize))                                                                              \
  X(DevClose, 0, (DEV_HANDLE hDevice))                                                             \
  X(DevGetParentIF, 4, (DEV_HANDLE hDevice, IF_HANDLE * phIface))                                  \
  /* Data stream */                                                                                \
  X(DSAnnounceBuffer, 0,                                                                           \
    (DS_HANDLE hDataStream, void* pBuffer, size_t iSize, void* pPrivate, BUFFER_HANDLE* phBuffer)) \
  X(DSAllocAndAnnounceBuffer, 0,                                                                   \
    (DS_HANDLE hDataStream, size_t iSize, void* pPrivate, BUFFER_HANDLE* phBuffer))                \
  X(DSFlushQueue, 0, (DS_HANDLE hDataStream, ACQ_QUEUE_TYPE iOperation))                           \
  X(DSStartAcquisition, 0,                                                                         \
    (DS_HANDLE hDataStream, ACQ_START_FLAGS iStartFlags, uint64_t iNumToAcquire))                  \
  X(DSStopAcquisition, 0, (DS_HANDLE hDataStream, ACQ_STOP_FLAGS iStopFlags))                      \
  X(DSGetInfo, 0,                                                                                  \
    (DS_HANDLE hDataStream, STREAM_INFO_CMD iInfoCmd, INFO_DATATYPE * piType, void* pBuffer,       \
     size_t* piSize))                                                                              \
  X(DSGetBufferID, 0, (DS_HANDLE hDataStream, uint32_t iIndex, BUFFER_HANDLE * phBuffer))          \
  X(DSClose, 0, (DS_HANDLE hDataStream))                                                           \
  X(DSRevokeBuffer, 0,                                                                             \
    (DS_HANDLE hDataStream, BUFFER_HANDLE hBuffer, void** pBuffer, void** pPrivate))               \
  X(DSQueueBuffer, 0, (DS_HANDLE hDataStream, BUFFER_HANDLE hBuffer))                              \
  X(DSGetBufferInfo, 0,                                                                            \
    (DS_HANDLE hDataStream, BUFFER_HANDLE hBuffer, BUFFER_INFO_CMD iInfoCmd,                       \
     INFO_DATATYPE * piType, void* pBuffer, size_t* piSize))                                       \
  X(DSGetBufferChunkData, 3,                                                                       \
    (DS_HANDLE hDataStream, BUFFER_HANDLE hBuffer, SINGLE_CHUNK_DATA * pChunkData,                 \
     size_t * piNumChunks))                                                                        \
  X(DSGetParentDev, 4, (DS_HANDLE hDataStream, DEV_HANDLE * phDevice))                             \
  X(DSGetNumBufferParts, 5, (DS_HANDLE hDataStream, BUFFER_HANDLE hBuffer, uint32_t * piNumParts)) \
  X(DSGetBufferPartInfo, 5,                                                                        \
    (DS_HANDLE hDataStream, BUFFER_HANDLE hBuffer, uint32_t iPartIndex,                            \
     BUFFER_PART_INFO_CMD iInfoCmd, INFO_DATATYPE * piType, void* pBuffer, size_t* piSize))        \
  VISION_GENTL_FUNCTIONS_16(X)

// The composite-buffer and flow functions of 1.6. Neither the consumer nor the simulated
// producer uses them (the producer exports them answering GC_ERR_NOT_IMPLEMENTED); their
// parameter lists follow the shape of the other stream functions and the stacked structures.
#define VISION_GENTL_FUNCTIONS_16(X)                                                             \
  X(DSAnnounceCompositeBuffer, 6,                                                                \
    (DS_HANDLE hDataStream, size_t iNumSegments, void** ppSegments, size_t* piSizes,             \
     void* pPrivate, BUFFER_HANDLE* phBuffer))                                                   \
  X(DSGetBufferInfoStacked, 6,                                                                   \
    (DS_HANDLE hDataStream, BUFFER_HANDLE hBuffer, DS_BUFFER_INFO_STACKED * pInfoStacked,        \
     size_t iNumInfos))                                                                          \
  X(DSGetBufferPartInfoStacked, 6,                                                               \
    (DS_HANDLE hDataStream, BUFFER_HANDLE hBuffer, DS_BUFFER_PART_INFO_STACKED * pInfoStacked,   \
     size_t iNumInfos))                                                                          \
  X(DSGetNumFlows, 6, (DS_HANDLE hDataStream, uint32_t * piNumFlows))                            \
  X(DSGetFlowInfo, 6,                                                                            \
    (DS_HANDLE hDataStream, uint32_t iFlowIndex, FLOW_INFO_CMD iInfoCmd, INFO_DATATYPE * piType, \
     void* pBuffer, size_t* piSize))                                                             \
  X(DSGetNumBufferSegments, 6,                                                                   \
    (DS_HANDLE hDataStream, BUFFER_HANDLE hBuffer, uint32_t * piNumSegments))                    \
  X(DSGetBufferSegmentInfo, 6,                                                                   \
    (DS_HANDLE hDataStream, BUFFER_HANDLE hBuffer, uint32_t iSegmentIndex,                       \
     SEGMENT_INFO_CMD iInfoCmd, INFO_DATATYPE * piType, void* pBuffer, size_t* piSize))

using std::size_t;
using std::uint32_t;
using std::uint64_t;

// Pointer types: PGCInitLib, PTLOpen, ...
#define VISION_GENTL_POINTER_TYPE(name, minor, params) \
  using P##name = GC_ERROR(VISION_GC_CALLTYPE*) params;
VISION_GENTL_FUNCTIONS(VISION_GENTL_POINTER_TYPE)
#undef VISION_GENTL_POINTER_TYPE

// Every function by name with the minor version that added it, in the order of the list, for
// loaders and export checks.
struct FunctionEntry {
  const char* name;
  std::uint32_t since_minor;  // 1.<since_minor>
};
#define VISION_GENTL_ENTRY(name, minor, params) FunctionEntry{#name, minor},
inline constexpr FunctionEntry kFunctions[] = {VISION_GENTL_FUNCTIONS(VISION_GENTL_ENTRY)};
#undef VISION_GENTL_ENTRY
inline constexpr std::size_t kFunctionCount = sizeof(kFunctions) / sizeof(kFunctions[0]);

// Prototypes, with C linkage (the exported names are the plain function names).
extern "C" {
#define VISION_GENTL_PROTOTYPE(name, minor, params) \
  VISION_GC_EXPORT GC_ERROR VISION_GC_CALLTYPE name params;
VISION_GENTL_FUNCTIONS(VISION_GENTL_PROTOTYPE)
#undef VISION_GENTL_PROTOTYPE
}

}  // namespace vision::gentl
