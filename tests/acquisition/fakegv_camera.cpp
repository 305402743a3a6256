// Test helper: Aravis's fake GigE Vision camera (the same ArvGvFakeCamera that
// arv-fake-gv-camera-0.8 runs) with two additions the tests need:
//   --die-at-frame N      the process kills itself while it produces frame N, as a camera that
//                         loses power after N-1 frames (its trigger for frame N was acknowledged)
//   --frame-period-us P   the camera looks for a software trigger every P microseconds
//                         (stock: 40000)
// and a way to write the camera description, stock or with a BGR8 pixel format added:
//   --write-xml FILE [--add-bgr8]
// Run it only inside a network namespace that has nothing but loopback.
#include <arv.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int g_die_at = 0;
unsigned g_frames = 0;

void FillPattern(ArvBuffer* buffer, void* /*data*/, guint32 /*exposure_us*/, guint32 /*gain*/,
                 ArvPixelFormat /*format*/) {
  ++g_frames;
  if (g_die_at > 0 && g_frames >= unsigned(g_die_at)) raise(SIGKILL);
  size_t size = 0;
  auto* data = static_cast<guint8*>(const_cast<void*>(arv_buffer_get_data(buffer, &size)));
  for (size_t i = 0; i < size; ++i) data[i] = guint8(i + g_frames * 5);
}

int WriteXml(const char* path, bool add_bgr8) {
  ArvFakeCamera* camera = arv_fake_camera_new("GV01");
  size_t size = 0;
  const char* xml = arv_fake_camera_get_genicam_xml(camera, &size);
  std::string text(xml, size);
  g_object_unref(camera);
  if (add_bgr8) {
    // PFNC BGR8 = 0x02180015; the fake camera stores any value in its pixel format register and
    // sizes the payload from the format's bits per pixel.
    const std::string anchor = "<EnumEntry Name=\"RGB8\"";
    const auto at = text.find(anchor);
    if (at == std::string::npos) {
      std::fprintf(stderr, "no RGB8 entry in the stock description\n");
      return 1;
    }
    text.insert(at,
                "<EnumEntry Name=\"BGR8\" NameSpace=\"Standard\">\n"
                "\t\t\t<Value>35127317</Value>\n\t\t</EnumEntry>\n\t\t");
  }
  FILE* f = std::fopen(path, "wb");
  if (!f || std::fwrite(text.data(), 1, text.size(), f) != text.size() || std::fclose(f) != 0) {
    std::perror(path);
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* iface = "127.0.0.1";
  const char* genicam = nullptr;
  const char* xml_out = nullptr;
  bool add_bgr8 = false;
  long period_us = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--interface")
      iface = next();
    else if (a == "--genicam")
      genicam = next();
    else if (a == "--die-at-frame")
      g_die_at = std::atoi(next());
    else if (a == "--frame-period-us")
      period_us = std::atol(next());
    else if (a == "--write-xml")
      xml_out = next();
    else if (a == "--add-bgr8")
      add_bgr8 = true;
    else {
      std::fprintf(stderr, "unknown option %s\n", a.c_str());
      return 2;
    }
  }
  if (xml_out) return WriteXml(xml_out, add_bgr8);

  ArvGvFakeCamera* gv = arv_gv_fake_camera_new_full(iface, "GV01", genicam);
  if (!gv || !arv_gv_fake_camera_is_running(gv)) {
    std::fprintf(stderr, "fake GigE camera could not start on %s\n", iface);
    return 1;
  }
  ArvFakeCamera* camera = arv_gv_fake_camera_get_fake_camera(gv);
  arv_fake_camera_set_fill_pattern(camera, FillPattern, nullptr);
  // In software-trigger mode the fake camera looks for a trigger once per trigger period.
  if (period_us > 0) arv_fake_camera_set_trigger_frequency(camera, 1e6 / double(period_us));
  std::printf("ready\n");
  std::fflush(stdout);
  for (;;) pause();
}
