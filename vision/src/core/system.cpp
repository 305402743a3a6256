#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include "platform/win32.h"
#else
#include <unistd.h>
#endif

#include "detail/error.h"
#include "detail/param.h"
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
std::atomic<std::int64_t> g_search_memory_mib{0};  // 0 = "default"

std::mutex g_dir_mutex;
std::string g_image_dir;  // guarded by g_dir_mutex

std::string NameOf(const HTuple& name, const char* proc) {
  std::string text;
  if (!detail::ReadText(name, &text)) {
    detail::Fail(err::kWrongParamType, proc,
                 "the setting's name must be one text, got " + detail::Describe(name));
  }
  return text;
}

[[noreturn]] void BadValue(const std::string& name, const HTuple& value, const char* expected) {
  detail::Fail(
      err::kSystemBadValue, kProc,
      "bad value " + detail::Describe(value) + " for setting '" + name + "': expected " + expected);
}

enum class Kind { kBoolean, kInteger, kText };

// A value as the setting's kind reads it.
struct Value {
  bool flag = false;
  std::int64_t number = 0;
  std::string text;
};

// One process-wide setting: its name, the values it takes, and where it keeps them.
struct Setting {
  const char* name;
  Kind kind;
  const char* expected;  // what a refused value is told the setting takes
  std::int64_t lo = 0;   // kInteger: the range lo..hi
  std::int64_t hi = 0;
  std::optional<std::int64_t> also =
      std::nullopt;            // kInteger: one more value it takes outside the range
  const char* word = nullptr;  // kInteger: a text that stands for 0
  void (*set)(const Value&);   // called with a value the setting takes
  HTuple (*get)();
};

constexpr Setting kSettings[] = {
    {.name = "use_window_thread",
     .kind = Kind::kBoolean,
     .expected = "'true' or 'false'",
     .set = [](const Value& v) { g_use_window_thread = v.flag; },
     .get = [] { return HTuple(g_use_window_thread ? "true" : "false"); }},
    {.name = "thread_num",
     .kind = Kind::kInteger,
     .expected = "'default' or a thread count from 1 to 1024",
     .lo = 1,
     .hi = 1024,
     .word = "default",  // as many threads as cores
     .set = [](const Value& v) { g_thread_num = static_cast<int>(v.number); },
     .get = [] { return HTuple(Hlong{detail::ThreadCount()}); }},
    {.name = "width",
     .kind = Kind::kInteger,
     .expected = "an integer from 1 to 65536",
     .lo = 1,
     .hi = 65536,
     .set = [](const Value& v) { g_width = static_cast<int>(v.number); },
     .get = [] { return HTuple(Hlong{g_width.load()}); }},
    {.name = "height",
     .kind = Kind::kInteger,
     .expected = "an integer from 1 to 65536",
     .lo = 1,
     .hi = 65536,
     .set = [](const Value& v) { g_height = static_cast<int>(v.number); },
     .get = [] { return HTuple(Hlong{g_height.load()}); }},
    {.name = "int2_bits",
     .kind = Kind::kInteger,
     .expected = "-1 or an integer from 9 to 15",
     .lo = 9,
     .hi = 15,
     .also = -1,  // not set
     .set = [](const Value& v) { g_int2_bits = static_cast<int>(v.number); },
     .get = [] { return HTuple(Hlong{g_int2_bits.load()}); }},
    {.name = "image_dir",
     .kind = Kind::kText,
     .expected = "one text of directories, without NUL characters",
     .set =
         [](const Value& v) {
           std::lock_guard lock(g_dir_mutex);
           g_image_dir = v.text;
         },
     .get =
         [] {
           std::lock_guard lock(g_dir_mutex);
           return HTuple(g_image_dir);
         }},
    {.name = "search_memory_limit",
     .kind = Kind::kInteger,
     .expected = "'default' or a size in MiB from 1 to 2^40",
     .lo = 1,
     .hi = std::int64_t{1} << 40,
     .word = "default",  // a quarter of the machine's memory, at least 256 MiB
     .set = [](const Value& v) { g_search_memory_mib = v.number; },
     .get = [] { return HTuple(Hlong(detail::SearchMemoryLimit() >> 20)); }},
};

const Setting* FindSetting(const std::string& name) {
  for (const Setting& s : kSettings)
    if (name == s.name) return &s;
  return nullptr;
}

// Reads value as the setting takes it; false for a value it does not take.
bool Read(const Setting& s, const HTuple& value, Value* out) {
  switch (s.kind) {
    case Kind::kBoolean:
      return detail::ReadBoolean(value, &out->flag);
    case Kind::kText:
      // A NUL would cut the text short where the system reads it (folder names).
      return detail::ReadText(value, &out->text) && out->text.find('\0') == std::string::npos;
    case Kind::kInteger:
      if (s.word && detail::IsText(value, s.word)) {
        out->number = 0;
        return true;
      }
      return detail::ReadInteger(value, &out->number) &&
             ((out->number >= s.lo && out->number <= s.hi) || out->number == s.also);
  }
  return false;
}

}  // namespace

void SetSystem(const HTuple& name_tuple, const HTuple& value) {
  const std::string name = NameOf(name_tuple, kProc);
  const Setting* setting = FindSetting(name);
  if (!setting) {
    std::string known;
    for (const Setting& s : kSettings) known += (known.empty() ? "" : ", ") + std::string(s.name);
    detail::Fail(
        err::kSystemUnknownName, kProc,
        "unknown setting '" + name + "' (value " + detail::Describe(value) + "); known: " + known);
  }
  Value v;
  if (!Read(*setting, value, &v)) BadValue(name, value, setting->expected);
  setting->set(v);
}

HTuple GetSystem(const HTuple& name_tuple) {
  const std::string name = NameOf(name_tuple, "GetSystem");
  const Setting* setting = FindSetting(name);
  if (!setting)
    detail::Fail(err::kSystemUnknownName, "GetSystem", "unknown setting '" + name + "'");
  return setting->get();
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

std::uint64_t PhysicalMemory() noexcept {
#if defined(_WIN32)
  MEMORYSTATUSEX status;
  status.dwLength = sizeof status;
  if (GlobalMemoryStatusEx(&status)) return status.ullTotalPhys;
#else
  const long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGESIZE);
  if (pages > 0 && size > 0) return std::uint64_t(pages) * std::uint64_t(size);
#endif
  return std::uint64_t(4) << 30;  // unknown: assume 4 GiB
}

std::uint64_t SearchMemoryLimit() noexcept {
  const std::int64_t mib = g_search_memory_mib.load(std::memory_order_relaxed);
  if (mib > 0) return std::uint64_t(mib) << 20;
  // A quarter of the machine's memory, at least 256 MiB: the image itself, the caller's data
  // and other programs need the rest.
  return std::max(PhysicalMemory() / 4, std::uint64_t(256) << 20);
}

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
