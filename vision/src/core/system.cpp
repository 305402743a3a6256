#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "detail/error.h"
#include "detail/system.h"
#include "vision/HErrorCodes.h"
#include "vision/HSystem.h"

namespace vision {

namespace {

constexpr const char* kProc = "SetSystem";

// Scalar settings are atomics so the hot paths read them without a lock; the image path is the
// only setting behind a mutex.
std::atomic<int> g_thread_num{0};  // 0 = "default"
std::atomic<int> g_int2_bits{-1};
std::atomic<bool> g_use_window_thread{false};
std::atomic<int> g_width{512};
std::atomic<int> g_height{512};
std::atomic<bool> g_utf8{true};

std::mutex g_dir_mutex;
std::string g_image_dir;  // guarded by g_dir_mutex

std::string NameOf(const HTuple& name, const char* proc) {
  if (name.Length() != 1 || name.Type(0) != HTupleType::String) {
    detail::Fail(err::kWrongParamType, proc,
                 "the setting's name must be one text, got " + detail::Describe(name));
  }
  return name.S().Str();
}

[[noreturn]] void BadValue(const std::string& name, const HTuple& value, const char* expected) {
  detail::Fail(
      err::kSystemBadValue, kProc,
      "bad value " + detail::Describe(value) + " for setting '" + name + "': expected " + expected);
}

// Accepts an integer, or a double with an integral value, or a text holding a decimal integer.
bool IntegerOf(const HTuple& value, Hlong* out) {
  if (value.Length() != 1) return false;
  switch (value.Type(0)) {
    case HTupleType::Integer:
      *out = value.L();
      return true;
    case HTupleType::Double: {
      const double d = value.D();
      if (d != static_cast<double>(static_cast<Hlong>(d))) return false;
      *out = static_cast<Hlong>(d);
      return true;
    }
    case HTupleType::String: {
      const std::string s = value.S().Str();
      if (s.empty() || s.size() > 18) return false;
      std::size_t i = (s[0] == '-') ? 1 : 0;
      if (i == s.size()) return false;
      for (std::size_t k = i; k < s.size(); ++k) {
        if (s[k] < '0' || s[k] > '9') return false;
      }
      *out = std::stoll(s);
      return true;
    }
    default:
      return false;
  }
}

bool BoolOf(const HTuple& value, bool* out) {
  if (value.Length() != 1) return false;
  if (value.Type(0) == HTupleType::String) {
    const std::string s = value.S().Str();
    if (s == "true") return *out = true, true;
    if (s == "false") return *out = false, true;
    return false;
  }
  if (value.Type(0) == HTupleType::Integer && (value.L() == 0 || value.L() == 1)) {
    *out = value.L() == 1;
    return true;
  }
  return false;
}

}  // namespace

void SetSystem(const HTuple& name_tuple, const HTuple& value) {
  const std::string name = NameOf(name_tuple, kProc);
  Hlong n = 0;
  bool b = false;
  if (name == "use_window_thread") {
    if (!BoolOf(value, &b)) BadValue(name, value, "'true' or 'false'");
    g_use_window_thread = b;
  } else if (name == "thread_num") {
    if (value.Length() == 1 && value.Type(0) == HTupleType::String &&
        value.S().Str() == "default") {
      g_thread_num = 0;
    } else if (IntegerOf(value, &n) && n >= 1 && n <= 1024) {
      g_thread_num = static_cast<int>(n);
    } else {
      BadValue(name, value, "'default' or a thread count from 1 to 1024");
    }
  } else if (name == "width" || name == "height") {
    if (!IntegerOf(value, &n) || n < 1 || n > 65536)
      BadValue(name, value, "an integer from 1 to 65536");
    (name == "width" ? g_width : g_height) = static_cast<int>(n);
  } else if (name == "int2_bits") {
    if (!IntegerOf(value, &n) || !(n == -1 || (n >= 9 && n <= 15))) {
      BadValue(name, value, "-1 or an integer from 9 to 15");
    }
    g_int2_bits = static_cast<int>(n);
  } else if (name == "image_dir") {
    // A NUL would cut every folder name short where the system reads it.
    if (value.Length() != 1 || value.Type(0) != HTupleType::String ||
        value.S().Str().find('\0') != std::string::npos) {
      BadValue(name, value, "one text of directories, without NUL characters");
    }
    std::lock_guard lock(g_dir_mutex);
    g_image_dir = value.S().Str();
  } else {
    detail::Fail(err::kSystemUnknownName, kProc,
                 "unknown setting '" + name + "' (value " + detail::Describe(value) +
                     "); known: use_window_thread, thread_num, width, height, int2_bits, "
                     "image_dir");
  }
}

HTuple GetSystem(const HTuple& name_tuple) {
  const std::string name = NameOf(name_tuple, "GetSystem");
  if (name == "use_window_thread") return HTuple(g_use_window_thread ? "true" : "false");
  if (name == "thread_num") return HTuple(Hlong{detail::ThreadCount()});
  if (name == "width") return HTuple(Hlong{g_width.load()});
  if (name == "height") return HTuple(Hlong{g_height.load()});
  if (name == "int2_bits") return HTuple(Hlong{g_int2_bits.load()});
  if (name == "image_dir") {
    std::lock_guard lock(g_dir_mutex);
    return HTuple(g_image_dir);
  }
  detail::Fail(err::kSystemUnknownName, "GetSystem", "unknown setting '" + name + "'");
}

void SetHcppInterfaceStringEncodingIsUtf8(bool is_utf8) { g_utf8 = is_utf8; }
bool IsHcppInterfaceStringEncodingUtf8() { return g_utf8; }

void CountSeconds(HTuple* seconds) {
  if (seconds == nullptr) detail::Fail(err::kNullOutput, "CountSeconds", "no output given");
  using clock = std::chrono::steady_clock;
  const auto ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(clock::now().time_since_epoch());
  *seconds = HTuple(static_cast<double>(ns.count()) * 1e-9);
}

namespace detail {

int ThreadCount() noexcept {
  const int n = g_thread_num.load(std::memory_order_relaxed);
  if (n > 0) return n;
  const unsigned hw = std::thread::hardware_concurrency();
  return hw == 0 ? 1 : static_cast<int>(hw);
}

int Int2Bits() noexcept { return g_int2_bits.load(std::memory_order_relaxed); }
bool UseWindowThread() noexcept { return g_use_window_thread.load(); }
int DefaultWidth() noexcept { return g_width.load(); }
int DefaultHeight() noexcept { return g_height.load(); }
bool StringEncodingIsUtf8() noexcept { return g_utf8.load(); }

std::vector<std::string> ImageDirs() {
#ifdef _WIN32
  constexpr char kSep = ';';
#else
  constexpr char kSep = ':';
#endif
  std::string dirs;
  {
    std::lock_guard lock(g_dir_mutex);
    dirs = g_image_dir;
  }
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start <= dirs.size()) {
    const std::size_t end = dirs.find(kSep, start);
    const std::string part =
        dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!part.empty()) out.push_back(part);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return out;
}

}  // namespace detail
}  // namespace vision
