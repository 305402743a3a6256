// The producer's library level: every function exported, initialisation and the singletons,
// the last error, the info protocol both ways, handle checks, and the option parser.
#include <future>
#include <thread>

#include "gentl_shared/options.h"
#include "simcam_fixture.h"

namespace simtest {
namespace {

TEST(Exports, EveryFunctionOfTheInterfaceUndecorated) {
  for (const auto& f : kFunctions)
    EXPECT_NE(P().Symbol(f.name), nullptr) << f.name << " is not exported under its plain name";
  EXPECT_EQ(kFunctionCount, 64u);
}

TEST(Lifecycle, InitialisationAndTheSingletons) {
  // Before GCInitLib: nothing works, and the last error says why.
  TL_HANDLE tl = nullptr;
  EXPECT_EQ(P().TLOpen(&tl), GC_ERR_NOT_INITIALIZED);
  EXPECT_NE(LastError().find("GCInitLib"), std::string::npos) << LastError();
  size_t size = 0;
  EXPECT_EQ(P().GCGetInfo(TL_INFO_ID, nullptr, nullptr, &size), GC_ERR_NOT_INITIALIZED);
  EXPECT_EQ(P().GCCloseLib(), GC_ERR_NOT_INITIALIZED);

  visiontest::SetEnv("VISION_FAKE_CAMERA", "1");
  ASSERT_EQ(P().GCInitLib(), GC_ERR_SUCCESS) << LastError();
  EXPECT_EQ(P().GCInitLib(), GC_ERR_RESOURCE_IN_USE);
  ASSERT_EQ(P().TLOpen(&tl), GC_ERR_SUCCESS);
  TL_HANDLE second = nullptr;
  EXPECT_EQ(P().TLOpen(&second), GC_ERR_RESOURCE_IN_USE);
  IF_HANDLE iface = nullptr, again = nullptr;
  ASSERT_EQ(P().TLOpenInterface(tl, "vision-Simulated", &iface), GC_ERR_SUCCESS);
  EXPECT_EQ(P().TLOpenInterface(tl, "vision-Simulated", &again), GC_ERR_RESOURCE_IN_USE);
  EXPECT_EQ(P().TLOpenInterface(tl, "GigE", &again), GC_ERR_INVALID_ID);
  TL_HANDLE parent = nullptr;
  EXPECT_EQ(P().IFGetParentTL(iface, &parent), GC_ERR_SUCCESS);
  EXPECT_EQ(parent, tl);
  // Closing the system closes the interface under it; a second session starts afresh.
  EXPECT_EQ(P().TLClose(tl), GC_ERR_SUCCESS);
  EXPECT_EQ(P().IFClose(iface), GC_ERR_INVALID_HANDLE);
  EXPECT_EQ(P().GCCloseLib(), GC_ERR_SUCCESS);
  EXPECT_EQ(P().GCCloseLib(), GC_ERR_NOT_INITIALIZED);
  ASSERT_EQ(P().GCInitLib(), GC_ERR_SUCCESS);
  EXPECT_EQ(P().TLOpen(&tl), GC_ERR_SUCCESS);
  EXPECT_EQ(P().GCCloseLib(), GC_ERR_SUCCESS);
}

TEST(Lifecycle, BadOptionsFailInitialisationWithTheReason) {
  visiontest::SetEnv("VISION_FAKE_CAMERA", "width=3");
  EXPECT_EQ(P().GCInitLib(), GC_ERR_INVALID_PARAMETER);
  EXPECT_NE(LastError().find("'width=3'"), std::string::npos) << LastError();
  visiontest::SetEnv("VISION_FAKE_CAMERA", "description=/no/such/file.xml");
  EXPECT_EQ(P().GCInitLib(), GC_ERR_IO);
  EXPECT_NE(LastError().find("/no/such/file.xml"), std::string::npos) << LastError();
  EXPECT_EQ(P().GCCloseLib(), GC_ERR_NOT_INITIALIZED);
}

TEST(LastError, IsKeptPerThreadWithARealMessage) {
  Session s("1");
  size_t size = 0;
  EXPECT_EQ(P().TLGetInterfaceID(s.tl, 7, nullptr, &size), GC_ERR_INVALID_INDEX);
  // Another thread's failure does not replace this thread's last error.
  std::thread([&] {
    EXPECT_EQ(P().TLGetInfo(s.iface, TL_INFO_ID, nullptr, nullptr, &size), GC_ERR_INVALID_HANDLE);
    EXPECT_EQ(LastErrorCode(), GC_ERR_INVALID_HANDLE);
    EXPECT_NE(LastError().find("interface"), std::string::npos) << LastError();
  }).join();
  EXPECT_EQ(LastErrorCode(), GC_ERR_INVALID_INDEX);
  EXPECT_NE(LastError().find("interface index 7"), std::string::npos) << LastError();
  // The text follows the info protocol too: one byte short is refused, the error kept.
  GC_ERROR code = 0;
  size = 0;
  ASSERT_EQ(P().GCGetLastError(&code, nullptr, &size), GC_ERR_SUCCESS);
  std::string text(size, '\0');
  size_t short_size = size - 1;
  EXPECT_EQ(P().GCGetLastError(&code, text.data(), &short_size), GC_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(LastErrorCode(), GC_ERR_INVALID_INDEX);
}

// One string query through the protocol: size query, exact size, one byte short.
void CheckStringProtocol(const char* what,
                         const std::function<GC_ERROR(INFO_DATATYPE*, void*, size_t*)>& query) {
  SCOPED_TRACE(what);
  INFO_DATATYPE type = INFO_DATATYPE_UNKNOWN;
  size_t size = 0;
  ASSERT_EQ(query(&type, nullptr, &size), GC_ERR_SUCCESS) << LastError();
  EXPECT_EQ(type, INFO_DATATYPE_STRING);
  ASSERT_GT(size, 1u);
  std::vector<char> exact(size, '\x7f');
  size_t n = size;
  ASSERT_EQ(query(&type, exact.data(), &n), GC_ERR_SUCCESS);
  EXPECT_EQ(n, size);
  EXPECT_EQ(exact[size - 1], '\0');
  EXPECT_EQ(std::strlen(exact.data()), size - 1) << "the size counts the NUL, nothing more";
  std::vector<char> small(size - 1, '\x7f');
  n = size - 1;
  EXPECT_EQ(query(&type, small.data(), &n), GC_ERR_BUFFER_TOO_SMALL);
  EXPECT_EQ(n, size) << "a refusal reports the size needed";
  EXPECT_EQ(query(&type, exact.data(), nullptr), GC_ERR_INVALID_PARAMETER);
}

// A fixed-size value: its type and width.
template <class T>
T CheckValue(const char* what, INFO_DATATYPE expected,
             const std::function<GC_ERROR(INFO_DATATYPE*, void*, size_t*)>& query) {
  SCOPED_TRACE(what);
  INFO_DATATYPE type = INFO_DATATYPE_UNKNOWN;
  size_t size = 0;
  EXPECT_EQ(query(&type, nullptr, &size), GC_ERR_SUCCESS) << LastError();
  EXPECT_EQ(type, expected);
  EXPECT_EQ(size, sizeof(T));
  T value{};
  size = sizeof value;
  EXPECT_EQ(query(&type, &value, &size), GC_ERR_SUCCESS) << LastError();
  if (sizeof(T) > 1) {
    size = sizeof(T) - 1;
    EXPECT_EQ(query(&type, &value, &size), GC_ERR_BUFFER_TOO_SMALL);
  }
  return value;
}

TEST(InfoProtocol, StringsOfEveryModule) {
  Session s("1");
  Cam cam(s);
  CheckStringProtocol("GCGetInfo", [&](auto t, auto b, auto n) {
    return P().GCGetInfo(TL_INFO_PATHNAME, t, b, n);
  });
  CheckStringProtocol("TLGetInfo", [&](auto t, auto b, auto n) {
    return P().TLGetInfo(s.tl, TL_INFO_TLTYPE, t, b, n);
  });
  CheckStringProtocol("TLGetInterfaceID", [&](auto t, auto b, auto n) {
    *t = INFO_DATATYPE_STRING;
    return P().TLGetInterfaceID(s.tl, 0, static_cast<char*>(b), n);
  });
  CheckStringProtocol("IFGetDeviceInfo", [&](auto t, auto b, auto n) {
    return P().IFGetDeviceInfo(s.iface, "vision-Simulated-SIM0001", DEVICE_INFO_SERIAL_NUMBER, t, b,
                               n);
  });
  CheckStringProtocol("DevGetDataStreamID", [&](auto t, auto b, auto n) {
    *t = INFO_DATATYPE_STRING;
    return P().DevGetDataStreamID(cam.dev, 0, static_cast<char*>(b), n);
  });
  CheckStringProtocol("GCGetPortURL", [&](auto t, auto b, auto n) {
    *t = INFO_DATATYPE_STRING;
    return P().GCGetPortURL(cam.port, static_cast<char*>(b), n);
  });
  CheckStringProtocol("GCGetPortInfo", [&](auto t, auto b, auto n) {
    return P().GCGetPortInfo(cam.port, PORT_INFO_PORTNAME, t, b, n);
  });
  EXPECT_EQ(InfoString([&](auto t, auto b, auto n) {
              return P().GCGetPortInfo(cam.port, PORT_INFO_PORTNAME, t, b, n);
            }),
            "Device");
  EXPECT_EQ(InfoString([&](auto t, auto b, auto n) {
              return P().DevGetInfo(cam.dev, DEVICE_INFO_MODEL, t, b, n);
            }),
            "Simulated camera");
}

TEST(InfoProtocol, ValuesHaveTheirDocumentedTypesAndWidths) {
  Session s("1");
  Cam cam(s);
  EXPECT_EQ(CheckValue<std::uint32_t>("GENTL_VER_MAJOR", INFO_DATATYPE_UINT32,
                                      [&](auto t, auto b, auto n) {
                                        return P().TLGetInfo(s.tl, TL_INFO_GENTL_VER_MAJOR, t, b,
                                                             n);
                                      }),
            1u);
  EXPECT_EQ(CheckValue<std::uint32_t>("GENTL_VER_MINOR", INFO_DATATYPE_UINT32,
                                      [&](auto t, auto b, auto n) {
                                        return P().GCGetInfo(TL_INFO_GENTL_VER_MINOR, t, b, n);
                                      }),
            6u);
  CheckValue<std::int32_t>("CHAR_ENCODING", INFO_DATATYPE_INT32, [&](auto t, auto b, auto n) {
    return P().TLGetInfo(s.tl, TL_INFO_CHAR_ENCODING, t, b, n);
  });
  EXPECT_EQ(CheckValue<std::int32_t>("ACCESS_STATUS", INFO_DATATYPE_INT32,
                                     [&](auto t, auto b, auto n) {
                                       return P().DevGetInfo(cam.dev, DEVICE_INFO_ACCESS_STATUS, t,
                                                             b, n);
                                     }),
            DEVICE_ACCESS_STATUS_OPEN_READWRITE);
  EXPECT_EQ(CheckValue<std::uint64_t>("TIMESTAMP_FREQUENCY", INFO_DATATYPE_UINT64,
                                      [&](auto t, auto b, auto n) {
                                        return P().DevGetInfo(
                                            cam.dev, DEVICE_INFO_TIMESTAMP_FREQUENCY, t, b, n);
                                      }),
            1000000000u);
  EXPECT_EQ(CheckValue<size_t>("BUF_ANNOUNCE_MIN", INFO_DATATYPE_SIZET,
                               [&](auto t, auto b, auto n) {
                                 return P().DSGetInfo(cam.ds, STREAM_INFO_BUF_ANNOUNCE_MIN, t, b,
                                                      n);
                               }),
            2u);
  EXPECT_EQ(CheckValue<size_t>("PAYLOAD_SIZE", INFO_DATATYPE_SIZET,
                               [&](auto t, auto b, auto n) {
                                 return P().DSGetInfo(cam.ds, STREAM_INFO_PAYLOAD_SIZE, t, b, n);
                               }),
            640u * 480u);
  CheckValue<bool8_t>("IS_GRABBING", INFO_DATATYPE_BOOL8, [&](auto t, auto b, auto n) {
    return P().DSGetInfo(cam.ds, STREAM_INFO_IS_GRABBING, t, b, n);
  });

  // Buffer values, on a buffer of the consumer's own memory.
  alignas(64) static std::uint8_t memory[640 * 480];
  BUFFER_HANDLE b = nullptr;
  ASSERT_EQ(P().DSAnnounceBuffer(cam.ds, memory, sizeof memory, &cam, &b), GC_ERR_SUCCESS);
  const auto buffer_query = [&](BUFFER_INFO_CMD cmd) {
    return [&, cmd](INFO_DATATYPE* t, void* p, size_t* n) {
      return P().DSGetBufferInfo(cam.ds, b, cmd, t, p, n);
    };
  };
  EXPECT_EQ(CheckValue<void*>("BASE", INFO_DATATYPE_PTR, buffer_query(BUFFER_INFO_BASE)),
            static_cast<void*>(memory))
      << "the pointer is really written";
  EXPECT_EQ(CheckValue<void*>("USER_PTR", INFO_DATATYPE_PTR, buffer_query(BUFFER_INFO_USER_PTR)),
            static_cast<void*>(&cam));
  EXPECT_EQ(
      CheckValue<size_t>("PAYLOADTYPE", INFO_DATATYPE_SIZET, buffer_query(BUFFER_INFO_PAYLOADTYPE)),
      size_t(PAYLOAD_TYPE_IMAGE));
  CheckValue<std::uint64_t>("PIXELFORMAT", INFO_DATATYPE_UINT64,
                            buffer_query(BUFFER_INFO_PIXELFORMAT));
  EXPECT_EQ(CheckValue<std::uint64_t>("PIXELFORMAT_NAMESPACE", INFO_DATATYPE_UINT64,
                                      buffer_query(BUFFER_INFO_PIXELFORMAT_NAMESPACE)),
            std::uint64_t(PIXELFORMAT_NAMESPACE_PFNC_32BIT));
  EXPECT_FALSE(CheckValue<bool8_t>("CONTAINS_CHUNKDATA", INFO_DATATYPE_BOOL8,
                                   buffer_query(BUFFER_INFO_CONTAINS_CHUNKDATA)));
  CheckValue<std::int32_t>("PIXEL_ENDIANNESS", INFO_DATATYPE_INT32,
                           buffer_query(BUFFER_INFO_PIXEL_ENDIANNESS));
  // Unknown commands are refused, not answered with garbage.
  size_t size = 8;
  std::uint64_t junk = 0;
  EXPECT_EQ(P().DSGetBufferInfo(cam.ds, b, 999, nullptr, &junk, &size), GC_ERR_NOT_IMPLEMENTED);
  void* returned = nullptr;
  void* user = nullptr;
  EXPECT_EQ(P().DSRevokeBuffer(cam.ds, b, &returned, &user), GC_ERR_SUCCESS);
  EXPECT_EQ(returned, static_cast<void*>(memory));
  EXPECT_EQ(user, static_cast<void*>(&cam));
}

TEST(Handles, EveryCallChecksTheKindOfItsHandle) {
  Session s("1");
  Cam cam(s);
  int junk = 0;
  void* garbage = &junk;
  size_t size = 64;
  char text[64];
  uint32_t count = 0;
  // Wrong kinds.
  EXPECT_EQ(P().TLGetInfo(s.iface, TL_INFO_ID, nullptr, text, &size), GC_ERR_INVALID_HANDLE);
  EXPECT_EQ(P().IFGetNumDevices(s.tl, &count), GC_ERR_INVALID_HANDLE);
  EXPECT_EQ(P().DevGetNumDataStreams(cam.port, &count), GC_ERR_INVALID_HANDLE)
      << "the remote port is not the device";
  EXPECT_EQ(P().DSGetInfo(cam.dev, STREAM_INFO_ID, nullptr, text, &size), GC_ERR_INVALID_HANDLE);
  EXPECT_EQ(P().GCReadPort(cam.event, 0, text, &size), GC_ERR_INVALID_HANDLE);
  EXPECT_EQ(P().EventKill(cam.ds), GC_ERR_INVALID_HANDLE);
  EXPECT_EQ(P().DSQueueBuffer(cam.ds, cam.ds), GC_ERR_INVALID_HANDLE);
  // NULL and pointers that were never handles.
  EXPECT_EQ(P().TLGetNumInterfaces(nullptr, &count), GC_ERR_INVALID_HANDLE);
  EXPECT_EQ(P().DevClose(garbage), GC_ERR_INVALID_HANDLE);
  EXPECT_EQ(P().EventGetData(garbage, text, &size, 0), GC_ERR_INVALID_HANDLE);
  // Closed handles.
  DS_HANDLE ds = cam.ds;
  EXPECT_EQ(P().DSClose(ds), GC_ERR_SUCCESS);
  EXPECT_EQ(P().DSGetInfo(ds, STREAM_INFO_ID, nullptr, text, &size), GC_ERR_INVALID_HANDLE);
  EXPECT_EQ(P().EventKill(cam.event), GC_ERR_INVALID_HANDLE) << "the stream's event went with it";
  EXPECT_EQ(P().DevClose(cam.dev), GC_ERR_SUCCESS);
  EXPECT_EQ(P().GCReadPort(cam.port, 0x100, text, &size), GC_ERR_INVALID_HANDLE);
}

TEST(Handles, BuffersBelongToTheirStream) {
  Session s("cameras=2,width=32,height=32");
  Cam a(s, 0), b(s, 1);
  a.AnnounceAndQueue(2);
  b.AnnounceAndQueue(2);
  EXPECT_EQ(P().DSQueueBuffer(b.ds, a.buffers[0]), GC_ERR_INVALID_HANDLE);
  EXPECT_EQ(P().DSRevokeBuffer(b.ds, a.buffers[0], nullptr, nullptr), GC_ERR_INVALID_HANDLE);
  EXPECT_NE(LastError().find("another data stream"), std::string::npos) << LastError();
}

TEST(Stubs, TheCompositeFunctionsSayNotImplemented) {
  Session s("1");
  uint32_t n = 0;
  EXPECT_EQ(P().DSGetNumFlows(nullptr, &n), GC_ERR_NOT_IMPLEMENTED);
  EXPECT_EQ(P().DSAnnounceCompositeBuffer(nullptr, 0, nullptr, nullptr, nullptr, nullptr),
            GC_ERR_NOT_IMPLEMENTED);
  EXPECT_NE(LastError().find("DSAnnounceCompositeBuffer"), std::string::npos);
}

// ---- The option parser (shared with the library) ----------------------------------------------

std::string OptionError(const char* text) {
  try {
    vision::simcam::ParseOptions(text);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "(accepted)";
}

TEST(Options, ValuesAndRefusals) {
  const auto o = vision::simcam::ParseOptions(
      " width=320, height=200 ,fps=12.5,reject=TriggerMode,reject=grab_timeout,lose_after=0,"
      "incomplete=3,delay=20,busy,cameras=2,plain");
  EXPECT_EQ(o.width, 320);
  EXPECT_EQ(o.height, 200);
  EXPECT_DOUBLE_EQ(o.fps, 12.5);
  EXPECT_EQ(o.reject.size(), 2u);
  EXPECT_EQ(o.lose_after, 0);
  EXPECT_EQ(o.incomplete_every, 3);
  EXPECT_EQ(o.delay_ms, 20);
  EXPECT_TRUE(o.busy && o.plain_description);
  EXPECT_EQ(o.cameras, 2);
  EXPECT_EQ(vision::simcam::ParseOptions("").width, 640);
  EXPECT_EQ(vision::simcam::ParseOptions("1").height, 480);

  EXPECT_EQ(
      OptionError("colour=red").rfind("VISION_FAKE_CAMERA: option 'colour=red' is unknown", 0), 0u);
  EXPECT_NE(OptionError("width=3").find("from 16 to 8192"), std::string::npos);
  EXPECT_NE(OptionError("width=64x").find("'width=64x'"), std::string::npos);
  EXPECT_NE(OptionError("fps=0").find("0.1 to 1000"), std::string::npos);
  EXPECT_NE(OptionError("lose_after=-1").find("'lose_after=-1'"), std::string::npos);
  EXPECT_NE(OptionError("cameras=5").find("from 1 to 4"), std::string::npos);
  EXPECT_NE(OptionError("busy=1").find("unknown"), std::string::npos);
  // A misspelt feature name would reject nothing: refused, with the name meant.
  EXPECT_NE(OptionError("reject=pixelformat").find("did you mean PixelFormat?"), std::string::npos)
      << OptionError("reject=pixelformat");
  EXPECT_NE(OptionError("reject=Gamma").find("no feature"), std::string::npos);
  // With a description of the user's, any name may be a feature.
  EXPECT_EQ(vision::simcam::ParseOptions("description=cam.xml,reject=Gamma").reject.count("Gamma"),
            1u);
}

}  // namespace
}  // namespace simtest
