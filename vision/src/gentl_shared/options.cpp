#include "gentl_shared/options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <stdexcept>

namespace vision::simcam {
namespace {

constexpr const char* kOptionList =
    "options: 1, width=W, height=H, fps=F, reject=NAME, lose_after=N, incomplete=N, delay=MS, "
    "busy, cameras=N, description=FILE, plain";

std::string_view Trim(std::string_view s) {
  const auto b = s.find_first_not_of(" \t");
  if (b == std::string_view::npos) return {};
  const auto e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

[[noreturn]] void Refuse(std::string_view option, const std::string& why) {
  throw std::invalid_argument(std::string(kEnvironmentVariable) + ": option '" +
                              std::string(option) + "' " + why + " (" + kOptionList + ")");
}

std::int64_t Integer(std::string_view option, std::string_view value, std::int64_t lo,
                     std::int64_t hi) {
  std::int64_t v = 0;
  const auto* end = value.data() + value.size();
  const auto [p, ec] = std::from_chars(value.data(), end, v);
  if (value.empty() || ec != std::errc() || p != end || v < lo || v > hi)
    Refuse(option, "needs an integer from " + std::to_string(lo) + " to " + std::to_string(hi));
  return v;
}

double Number(std::string_view option, std::string_view value, double lo, double hi) {
  // std::from_chars for double is missing from some of the standard libraries we build with;
  // strtod under the "C" locale rules is enough for these plain numbers.
  const std::string text(value);
  char* end = nullptr;
  const double v = text.empty() ? 0 : std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(v) || v < lo || v > hi) {
    std::string range = std::to_string(lo);
    range.erase(range.find_last_not_of('0') + 1);
    if (range.back() == '.') range.pop_back();
    std::string upper = std::to_string(hi);
    upper.erase(upper.find_last_not_of('0') + 1);
    if (upper.back() == '.') upper.pop_back();
    Refuse(option, "needs a number from " + range + " to " + upper);
  }
  return v;
}

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// The reject= name must be one we know (unless the camera describes itself from a file): a
// misspelt name would otherwise reject nothing and the test using it would pass for no reason.
void CheckRejectName(std::string_view option, const std::string& name) {
  std::vector<std::string> known = FeatureNames();
  const auto& params = InterfaceParameterNames();
  known.insert(known.end(), params.begin(), params.end());
  if (std::find(known.begin(), known.end(), name) != known.end()) return;
  for (const auto& k : known)
    if (SameIgnoringCase(k, name)) Refuse(option, "names no feature (did you mean " + k + "?)");
  std::string list;
  for (const auto& k : known) list += (list.empty() ? "" : ", ") + k;
  Refuse(option,
         "names no feature of the simulated camera and no interface parameter (" + list + ")");
}

}  // namespace

const std::vector<std::string>& FeatureNames() {
  static const std::vector<std::string> names = {
      "DeviceVendorName",
      "DeviceModelName",
      "DeviceSerialNumber",
      "DeviceUserID",
      "WidthMax",
      "HeightMax",
      "Width",
      "Height",
      "OffsetX",
      "OffsetY",
      "PixelFormat",
      "PayloadSize",
      "ReverseX",
      "ReverseY",
      "Gain",
      "BlackLevel",
      "AcquisitionMode",
      "AcquisitionFrameCount",
      "AcquisitionStart",
      "AcquisitionStop",
      "AcquisitionFrameRate",
      "ExposureTime",
      "TriggerSelector",
      "TriggerMode",
      "TriggerSource",
      "TriggerActivation",
      "TriggerSoftware",
      "TLParamsLocked",
  };
  return names;
}

const std::vector<std::string>& InterfaceParameterNames() {
  static const std::vector<std::string> names = {"grab_timeout", "image_width", "image_height"};
  return names;
}

Options ParseOptions(std::string_view text) {
  Options opt;
  std::vector<std::pair<std::string, std::string>> rejects;  // checked once description= is known
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) comma = text.size();
    const std::string_view option = Trim(text.substr(start, comma - start));
    start = comma + 1;
    if (option.empty() || option == "1") continue;
    if (option == "busy") {
      opt.busy = true;
      continue;
    }
    if (option == "plain") {
      opt.plain_description = true;
      continue;
    }
    const auto eq = option.find('=');
    if (eq == std::string_view::npos) Refuse(option, "is unknown");
    const std::string key(Trim(option.substr(0, eq)));
    const std::string_view value = Trim(option.substr(eq + 1));
    if (key == "width") {
      opt.width = int(Integer(option, value, 16, 8192));
    } else if (key == "height") {
      opt.height = int(Integer(option, value, 16, 8192));
    } else if (key == "fps") {
      opt.fps = Number(option, value, 0.1, 1000);
    } else if (key == "lose_after") {
      opt.lose_after = Integer(option, value, 0, std::int64_t{1} << 40);
    } else if (key == "incomplete") {
      opt.incomplete_every = Integer(option, value, 1, std::int64_t{1} << 40);
    } else if (key == "delay") {
      opt.delay_ms = int(Integer(option, value, 0, 60000));
    } else if (key == "cameras") {
      opt.cameras = int(Integer(option, value, 1, 4));
    } else if (key == "reject") {
      if (value.empty()) Refuse(option, "needs a feature name");
      rejects.emplace_back(std::string(option), std::string(value));
    } else if (key == "description") {
      if (value.empty()) Refuse(option, "needs a file name");
      opt.description = std::string(value);
    } else {
      Refuse(option, "is unknown");
    }
  }
  for (const auto& [option, name] : rejects) {
    if (opt.description.empty()) CheckRejectName(option, name);
    opt.reject.insert(name);
  }
  return opt;
}

}  // namespace vision::simcam
