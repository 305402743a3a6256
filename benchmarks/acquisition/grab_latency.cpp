// grab_latency: trigger-to-image latency (median, p99) and cycles per second of pulsegrab's loop
// (software trigger, then GrabImageAsync) through the vision library, and, for a real transport,
// of a bare Aravis loop doing the same on the same camera.
//
//   grab_latency [cycles]
//
// The camera is the one the library picks: the simulated camera when VISION_FAKE_CAMERA is set,
// otherwise the first GigE Vision / USB3 Vision camera. Runs that look for real cameras belong in
// a network namespace (benchmarks/acquisition/run_grab_latency.sh sets one up with the fake GigE
// camera).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <vision/vision.h>

#ifdef VISION_WITH_ARAVIS
#include <arv.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

struct Figures {
  double median_ms = 0, p99_ms = 0, cycles_per_s = 0;
};

Figures Summarise(std::vector<double> latencies_ms, double total_s) {
  Figures f;
  std::sort(latencies_ms.begin(), latencies_ms.end());
  const std::size_t n = latencies_ms.size();
  f.median_ms = n % 2 ? latencies_ms[n / 2] : 0.5 * (latencies_ms[n / 2 - 1] + latencies_ms[n / 2]);
  f.p99_ms = latencies_ms[std::min(n - 1, std::size_t(double(n) * 0.99))];
  f.cycles_per_s = double(n) / total_s;
  return f;
}

void Print(const char* what, const Figures& f) {
  std::printf("%-34s median %8.3f ms   p99 %8.3f ms   %8.1f cycles/s\n", what, f.median_ms,
              f.p99_ms, f.cycles_per_s);
}

Figures VisionLoop(int cycles, std::string* pixel_format) {
  using vision::HTuple;
  vision::HFramegrabber camera;
  camera.OpenFramegrabber("GenICamTL", 0, 0, 0, 0, 0, 0, "default", 8, "default", -1.0, "true",
                          "default", "default", -1, -1);
  *pixel_format = "BGR8";
  try {
    camera.SetFramegrabberParam("PixelFormat", "BGR8");
  } catch (const vision::HException&) {
    *pixel_format = "Mono8";  // the stock fake GigE camera has no BGR8
    camera.SetFramegrabberParam("PixelFormat", "Mono8");
  }
  camera.SetFramegrabberParam(HTuple("grab_timeout"), HTuple(5000));
  camera.SetFramegrabberParam("TriggerSource", "Software");
  camera.SetFramegrabberParam("TriggerActivation", "RisingEdge");
  camera.SetFramegrabberParam("TriggerMode", "On");
  camera.GrabImageStart(-1.0);
  vision::HImage image;
  std::vector<double> lat;
  lat.reserve(std::size_t(cycles));
  for (int i = 0; i < 10; ++i) {  // warm-up
    camera.SetFramegrabberParam(HTuple("TriggerSoftware"), HTuple(1));
    image = camera.GrabImageAsync(-1.0);
  }
  const auto start = Clock::now();
  for (int i = 0; i < cycles; ++i) {
    const auto t0 = Clock::now();
    camera.SetFramegrabberParam(HTuple("TriggerSoftware"), HTuple(1));
    image = camera.GrabImageAsync(-1.0);
    lat.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  const double total = std::chrono::duration<double>(Clock::now() - start).count();
  camera.CloseFramegrabber();
  return Summarise(std::move(lat), total);
}

#ifdef VISION_WITH_ARAVIS
bool Check(GError* error, const char* what) {
  if (!error) return true;
  std::fprintf(stderr, "bare Aravis loop: %s: %s\n", what, error->message);
  g_error_free(error);
  return false;
}

bool AravisLoop(int cycles, const std::string& pixel_format, Figures* out) {
  GError* error = nullptr;
  ArvDevice* device = arv_open_device(nullptr, &error);
  if (!Check(error, "open")) return false;
  arv_device_set_string_feature_value(device, "PixelFormat", pixel_format.c_str(), &error);
  if (Check(error, "PixelFormat"))
    arv_device_set_string_feature_value(device, "TriggerSource", "Software", &error);
  if (Check(error, "TriggerSource"))
    arv_device_set_string_feature_value(device, "TriggerActivation", "RisingEdge", &error);
  if (Check(error, "TriggerActivation"))
    arv_device_set_string_feature_value(device, "TriggerMode", "On", &error);
  if (!Check(error, "TriggerMode")) {
    g_object_unref(device);
    return false;
  }
  const gint64 payload = arv_device_get_integer_feature_value(device, "PayloadSize", nullptr);
  ArvStream* stream = arv_device_create_stream(device, nullptr, nullptr, &error);
  if (!Check(error, "stream")) {
    g_object_unref(device);
    return false;
  }
  for (int i = 0; i < 8; ++i)
    arv_stream_push_buffer(stream, arv_buffer_new_allocate(std::size_t(payload)));
  arv_device_execute_command(device, "AcquisitionStart", nullptr);
  std::vector<double> lat;
  bool ok = true;
  Clock::time_point start;
  for (int i = -10; i < cycles && ok; ++i) {
    if (i == 0) start = Clock::now();
    const auto t0 = Clock::now();
    arv_device_execute_command(device, "TriggerSoftware", &error);
    ok = Check(error, "TriggerSoftware");
    ArvBuffer* buffer = ok ? arv_stream_timeout_pop_buffer(stream, 5000000) : nullptr;
    if (!buffer || arv_buffer_get_status(buffer) != ARV_BUFFER_STATUS_SUCCESS) {
      std::fprintf(stderr, "bare Aravis loop: no good frame at cycle %d\n", i);
      ok = false;
    }
    if (buffer) arv_stream_push_buffer(stream, buffer);
    if (ok && i >= 0)
      lat.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  const double total = std::chrono::duration<double>(Clock::now() - start).count();
  arv_device_execute_command(device, "AcquisitionStop", nullptr);
  g_object_unref(stream);
  g_object_unref(device);
  if (!ok) return false;
  *out = Summarise(std::move(lat), total);
  return true;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  const int cycles = argc > 1 ? std::max(10, std::atoi(argv[1])) : 1000;
  const bool simulated = std::getenv("VISION_FAKE_CAMERA") && *std::getenv("VISION_FAKE_CAMERA");
  std::printf("camera: %s, %d trigger-and-grab cycles\n",
              simulated ? "simulated (VISION_FAKE_CAMERA)" : "first GigE/USB3 camera", cycles);
  try {
    std::string format;
    const Figures ours = VisionLoop(cycles, &format);
    std::printf("pixel format: %s\n", format.c_str());
    Print("vision (pulsegrab loop)", ours);
#ifdef VISION_WITH_ARAVIS
    if (!simulated) {
      Figures bare;
      if (AravisLoop(cycles, format, &bare)) {
        Print("bare Aravis loop", bare);
        std::printf("overhead of the vision layer: median %+.1f %%, cycles/s %+.1f %%\n",
                    100.0 * (ours.median_ms - bare.median_ms) / bare.median_ms,
                    100.0 * (bare.cycles_per_s - ours.cycles_per_s) / bare.cycles_per_s);
      }
    }
#endif
  } catch (const vision::HException& e) {
    std::fprintf(stderr, "  Error #%u in %s: %s\n", unsigned(e.ErrorCode()), e.ProcName().TextA(),
                 e.ErrorMessage().TextA());
    return 1;
  }
  return 0;
}
