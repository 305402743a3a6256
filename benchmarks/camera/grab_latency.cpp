// grab_latency: trigger-to-image latency (median, p99) and cycles per second of pulsegrab's loop
// (software trigger, then GrabImageAsync) through the vision library, and, for a real transport,
// of a bare Aravis loop doing the same on the same camera.
//
//   grab_latency [cycles]
//
// The camera is the one the library picks: the simulated camera when VISION_FAKE_CAMERA is set,
// otherwise the first GigE Vision / USB3 Vision camera. Runs that look for real cameras belong in
// a network namespace (benchmarks/camera/run_grab_latency.sh sets one up with the fake GigE
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

struct Samples {
  std::vector<double> latencies_ms;
  double total_s = 0;
};

void VisionLoop(int cycles, std::string* pixel_format, Samples* out) {
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
  std::vector<double>& lat = out->latencies_ms;
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
  out->total_s += std::chrono::duration<double>(Clock::now() - start).count();
  camera.CloseFramegrabber();
}

#ifdef VISION_WITH_ARAVIS
bool Check(GError* error, const char* what) {
  if (!error) return true;
  std::fprintf(stderr, "bare Aravis loop: %s: %s\n", what, error->message);
  g_error_free(error);
  return false;
}

bool AravisLoop(int cycles, const std::string& pixel_format, Samples* out) {
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
  std::vector<double>& lat = out->latencies_ms;
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
  out->total_s += std::chrono::duration<double>(Clock::now() - start).count();
  arv_device_execute_command(device, "AcquisitionStop", nullptr);
  g_object_unref(stream);
  g_object_unref(device);
  return ok;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  const int cycles = argc > 1 ? std::max(10, std::atoi(argv[1])) : 1000;
  const bool simulated = std::getenv("VISION_FAKE_CAMERA") != nullptr;
  std::printf("camera: %s, %d trigger-and-grab cycles\n",
              simulated ? "simulated (VISION_FAKE_CAMERA)" : "first GigE/USB3 camera", cycles);
  // The two loops take turns in rounds, so a machine whose load changes meanwhile weighs on both.
  const int rounds = simulated ? 1 : 4;
  try {
    std::string format;
    Samples ours, bare;
    bool bare_ok = !simulated;
    for (int r = 0; r < rounds; ++r) {
      VisionLoop(cycles / rounds, &format, &ours);
#ifdef VISION_WITH_ARAVIS
      if (bare_ok) bare_ok = AravisLoop(cycles / rounds, format, &bare);
#endif
    }
    std::printf("pixel format: %s\n", format.c_str());
    const Figures o = Summarise(ours.latencies_ms, ours.total_s);
    Print("vision (pulsegrab loop)", o);
    // Opening a camera: discovery, the device, its description read and parsed.
    std::vector<double> opens;
    for (int i = 0; i < 20; ++i) {
      vision::HFramegrabber camera;
      const auto t0 = Clock::now();
      camera.OpenFramegrabber("GenICamTL", 0, 0, 0, 0, 0, 0, "default", 8, "default", -1.0, "true",
                              "default", "default", -1, -1);
      opens.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    std::sort(opens.begin(), opens.end());
    std::printf("%-34s median %8.3f ms   max %8.3f ms   (20 opens)\n", "OpenFramegrabber",
                opens[10], opens.back());
    if (bare_ok) {
      const Figures b = Summarise(bare.latencies_ms, bare.total_s);
      Print("bare Aravis loop", b);
      std::printf("overhead of the vision layer: median %+.1f %%, cycles/s %+.1f %%\n",
                  100.0 * (o.median_ms - b.median_ms) / b.median_ms,
                  100.0 * (b.cycles_per_s - o.cycles_per_s) / b.cycles_per_s);
    }
  } catch (const vision::HException& e) {
    std::fprintf(stderr, "  Error #%u in %s: %s\n", unsigned(e.ErrorCode()), e.ProcName().TextA(),
                 e.ErrorMessage().TextA());
    return 1;
  }
  return 0;
}
