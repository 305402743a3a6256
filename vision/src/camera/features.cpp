#include "camera/features.h"

#include <algorithm>
#include <charconv>
#include <optional>

#include "camera/genapi/range.h"
#include "detail/param.h"
#include "detail/text.h"
#include "vision/HErrorCodes.h"

namespace vision::detail::camera {
namespace {

// How many feature names a message about an unknown one lists at the most.
constexpr std::size_t kMaxListedFeatures = 60;

[[noreturn]] void Unknown(const FeatureMap& map, const std::string& name) {
  const std::vector<std::string> names = map.FeatureNames();
  std::string list;
  for (std::size_t i = 0; i < names.size() && i < kMaxListedFeatures; ++i)
    list += (i ? ", " : "") + names[i];
  if (names.size() > kMaxListedFeatures)
    list += " and " + std::to_string(names.size() - kMaxListedFeatures) + " more";
  throw DeviceError(err::kAcqUnknownParam, "camera " + map.CameraName() + " has no feature '" +
                                               name + "'" +
                                               (list.empty() ? "" : " (it offers " + list + ")"));
}

std::string Reason(const char* lead, const FeatureError& e) {
  const std::string why = e.what();
  return why.empty() ? std::string(lead) : std::string(lead) + ": " + why;
}

// A value as the feature's type takes it.
struct Decoded {
  genapi::Type type = genapi::Type::kOther;
  std::int64_t integer = 0;
  double number = 0;
  bool boolean = false;
  std::string text;
};

// One write (or check) of one feature, and the words for its refusal.
class Write {
 public:
  Write(FeatureMap& map, const std::string& name, const HTuple& value)
      : map_(map), name_(name), value_(value) {}

  [[noreturn]] void Refuse(std::uint32_t code, const std::string& why) const {
    throw Refusal(code, map_.CameraName(), name_, value_, why);
  }

  // The value for a feature of this type, or the refusal of a value of the wrong kind.
  Decoded Decode(genapi::Type type) const {
    Decoded d;
    d.type = type;
    switch (type) {
      case genapi::Type::kBoolean:
        if (!ReadBoolean(value_, &d.boolean))
          Refuse(err::kAcqParamValue, "true or false is expected");
        break;
      case genapi::Type::kInteger:
        if (!ReadInteger(value_, &d.integer)) Refuse(err::kAcqParamValue, "an integer is expected");
        break;
      case genapi::Type::kFloat:
        if (!ReadNumber(value_, &d.number)) Refuse(err::kAcqParamValue, "a number is expected");
        break;
      case genapi::Type::kEnumeration:
      case genapi::Type::kString:
        d.text = ValueText(value_);
        break;
      case genapi::Type::kCommand:
        break;
      case genapi::Type::kOther:
        Refuse(err::kAcqUnknownParam, "not a value feature");
    }
    return d;
  }

  // What can be known without writing: whether the feature takes writes now (CheckAccess) and
  // the value (CheckValue). quiet: a question the map cannot answer tells nothing (after a
  // failed write); otherwise its failure is the refusal.
  void CheckAccess(bool quiet) const {
    const auto access = Ask([&] { return map_.AccessOf(name_); }, quiet);
    if (access == genapi::Access::kNI) Unknown(map_, name_);
    if (access == genapi::Access::kRO) NotWritable();
    if (access == genapi::Access::kNA) NotAvailable();
    const auto lock = Ask([&] { return map_.LockReason(name_); }, quiet);
    if (lock && !lock->empty()) Refuse(err::kAcqParamValue, *lock);
  }

  void CheckValue(const Decoded& d, bool quiet) const {
    switch (d.type) {
      case genapi::Type::kEnumeration: {
        const auto entries = Ask([&] { return map_.Entries(name_); }, quiet);
        if (entries && std::find(entries->begin(), entries->end(), d.text) == entries->end())
          NoSuchEntry(&*entries);
        break;
      }
      case genapi::Type::kInteger: {
        const auto range = Ask([&] { return map_.IntegerRange(name_); }, quiet);
        if (!range) break;
        if (const auto why = genapi::IntegerRefusal(*range, d.integer))
          Refuse(err::kAcqParamValue, *why);
        break;
      }
      case genapi::Type::kFloat: {
        const auto range = Ask([&] { return map_.FloatRange(name_); }, quiet);
        if (!range) break;
        if (const auto why = genapi::FloatRefusal(*range, d.number))
          Refuse(err::kAcqParamValue, *why);
        break;
      }
      default:
        break;
    }
  }

  // The refusal for a failure the map reported.
  [[noreturn]] void Refused(const FeatureError& e, const Decoded* d) const {
    switch (e.Fault()) {
      case FeatureFault::kUnknown:
        Unknown(map_, name_);
      case FeatureFault::kNoSuchEntry:
        NoSuchEntry(nullptr);
      case FeatureFault::kNotWritable:
        NotWritable();
      case FeatureFault::kNotAvailable:
        NotAvailable();
      case FeatureFault::kOutOfRange:
        if (d) CheckValue(*d, true);
        break;
      case FeatureFault::kLost:
        Refuse(err::kAcqLost, Reason("the camera no longer answers", e));
      case FeatureFault::kBrokenDescription:
        Refuse(err::kAcqParamValue, "the camera's description is broken: " + std::string(e.what()));
      case FeatureFault::kUnexplained:
        CheckAccess(true);
        if (d) CheckValue(*d, true);
        break;
      case FeatureFault::kOther:
        break;
    }
    Refuse(err::kAcqParamValue, e.what());
  }

 private:
  template <class F>
  auto Ask(F question, bool quiet) const -> std::optional<decltype(question())> {
    try {
      return question();
    } catch (const FeatureError& e) {
      if (!quiet) Refused(e, nullptr);
      return std::nullopt;
    }
  }

  [[noreturn]] void NotWritable() const {
    const auto lock = Ask([&] { return map_.LockReason(name_); }, true);
    if (lock && !lock->empty()) Refuse(err::kAcqParamValue, *lock);
    Refuse(err::kAcqReadOnly, "the feature is read-only");
  }
  [[noreturn]] void NotAvailable() const {
    Refuse(err::kAcqParamValue, "the feature is not available in the camera's current state");
  }
  [[noreturn]] void NoSuchEntry(const std::vector<std::string>* known) const {
    std::vector<std::string> entries;
    if (known)
      entries = *known;
    else if (auto asked = Ask([&] { return map_.Entries(name_); }, true))
      entries = std::move(*asked);
    std::string list;
    for (const std::string& e : entries) list += (list.empty() ? "" : ", ") + e;
    Refuse(err::kAcqParamValue, "no such entry (the camera offers " + list + ")");
  }

  FeatureMap& map_;
  const std::string& name_;
  const HTuple& value_;
};

}  // namespace

HTuple ReadFeature(FeatureMap& map, const std::string& name) {
  try {
    if (!map.Has(name)) Unknown(map, name);
    switch (map.TypeOf(name)) {
      case genapi::Type::kInteger:
        return HTuple(Hlong(map.GetInteger(name)));
      case genapi::Type::kBoolean:
        return HTuple(Hlong(map.GetBoolean(name) ? 1 : 0));
      case genapi::Type::kFloat:
        return HTuple(map.GetFloat(name));
      case genapi::Type::kEnumeration:
        return HTuple(map.GetEnumeration(name));
      case genapi::Type::kString:
        return HTuple(map.GetString(name));
      case genapi::Type::kCommand:
        throw DeviceError(err::kAcqParamValue, "feature '" + name + "' of camera " +
                                                   map.CameraName() +
                                                   " is a command: it runs, it has no value");
      case genapi::Type::kOther:
        break;
    }
    throw DeviceError(err::kAcqUnknownParam,
                      "'" + name + "' of camera " + map.CameraName() + " is not a value feature");
  } catch (const FeatureError& e) {
    if (e.Fault() == FeatureFault::kUnknown) Unknown(map, name);
    if (e.Fault() == FeatureFault::kLost)
      throw DeviceError(err::kAcqLost,
                        "camera " + map.CameraName() + " " + Reason("no longer answers", e));
    throw DeviceError(err::kAcqParamValue, "reading " + name + " from camera " + map.CameraName() +
                                               " failed: " + e.what());
  }
}

namespace {

const char* TypeWord(genapi::Type t) {
  switch (t) {
    case genapi::Type::kInteger:
      return "Integer";
    case genapi::Type::kFloat:
      return "Float";
    case genapi::Type::kBoolean:
      return "Boolean";
    case genapi::Type::kEnumeration:
      return "Enumeration";
    case genapi::Type::kCommand:
      return "Command";
    case genapi::Type::kString:
      return "String";
    case genapi::Type::kOther:
      break;
  }
  return "Other";
}

const char* AccessWord(genapi::Access a) {
  switch (a) {
    case genapi::Access::kNI:
      return "NI";
    case genapi::Access::kNA:
      return "NA";
    case genapi::Access::kWO:
      return "WO";
    case genapi::Access::kRO:
      return "RO";
    case genapi::Access::kRW:
      break;
  }
  return "RW";
}

// The shortest text that reads back as the same double.
// One feature's line, built field by field: a question the map cannot answer puts its failure
// in the field's place (a lost camera ends the listing).
class Line {
 public:
  explicit Line(FeatureMap& map) : map_(map) {}

  // Appends prefix and the text (nothing when it is empty); on a failure " error_key:'why'".
  template <class F>
  bool Field(const char* prefix, const char* error_key, F&& text) {
    try {
      const std::string t = text();
      if (!t.empty()) line_ += prefix + t;
      return true;
    } catch (const FeatureError& e) {
      if (e.Fault() == FeatureFault::kLost)
        throw DeviceError(err::kAcqLost,
                          "camera " + map_.CameraName() + " " + Reason("no longer answers", e));
      line_ += std::string(" ") + error_key + ":" + Quoted(e.what());
      return false;
    }
  }
  void Add(const std::string& text) { line_ += text; }
  std::string Take() { return std::move(line_); }

 private:
  FeatureMap& map_;
  std::string line_;
};

// The range of a number, the entries of an enumeration, the longest text of a string.
void AddLimits(Line& line, FeatureMap& map, const std::string& name, genapi::Type type) {
  switch (type) {
    case genapi::Type::kInteger:
      line.Field(" min:", "range_error", [&] {
        const genapi::IntRange r = map.IntegerRange(name);
        return std::to_string(r.min) + " max:" + std::to_string(r.max) +
               " inc:" + std::to_string(r.inc);
      });
      break;
    case genapi::Type::kFloat:
      line.Field(" min:", "range_error", [&] {
        const genapi::FloatRange r = map.FloatRange(name);
        return ListedNumber(r.min) + " max:" + ListedNumber(r.max) +
               (r.inc ? " inc:" + ListedNumber(*r.inc) : "");
      });
      break;
    case genapi::Type::kEnumeration:
      line.Field(" entries:", "entries_error", [&] {
        std::string list;
        for (const std::string& e : map.Entries(name)) {
          if (!list.empty()) list += ',';
          list += Quoted(e);
        }
        return list.empty() ? std::string("none") : list;
      });
      break;
    case genapi::Type::kString:
      line.Field(" max_length:", "max_length_error", [&] {
        // A string that cannot be written takes no text: its length 0 says nothing.
        const auto n = map.StringMaxLength(name);
        return n && *n > 0 ? std::to_string(*n) : std::string();
      });
      break;
    default:
      return;
  }
  if (type == genapi::Type::kInteger || type == genapi::Type::kFloat)
    line.Field(" unit:", "unit_error", [&] {
      const std::string unit = map.Unit(name);
      return unit.empty() ? unit : Quoted(unit);
    });
}

std::string ListOne(FeatureMap& map, const std::string& name) {
  Line line(map);
  line.Add(Quoted(name));
  genapi::Type type = genapi::Type::kOther;
  genapi::Access access = genapi::Access::kNI;
  if (!line.Field(" ", "type_error",
                  [&] { return std::string(TypeWord(type = map.TypeOf(name))); }) ||
      !line.Field(" ", "access_error",
                  [&] { return std::string(AccessWord(access = map.AccessOf(name))); }))
    return line.Take();
  if (type == genapi::Type::kOther) return line.Take();
  // A command has no value, but why it cannot run now is worth as much as a value's reason.
  if (access == genapi::Access::kNI || access == genapi::Access::kNA) {
    line.Field(" no_value:", "no_value_error", [&] {
      const std::string why = map.WhyNotAccessible(name);
      if (!why.empty()) return Quoted(why);
      return std::string(access == genapi::Access::kNI ? "'not implemented'"
                                                       : "'not available now'");
    });
    return line.Take();
  }
  if (type == genapi::Type::kCommand) return line.Take();
  if (access == genapi::Access::kWO)
    line.Add(" no_value:'write-only'");
  else
    line.Field(" value:", "error", [&] { return ListedValue(map, name, type); });
  AddLimits(line, map, name, type);
  return line.Take();
}

}  // namespace

std::vector<std::string> ListFeatures(FeatureMap& map) {
  std::vector<std::string> lines;
  for (const std::string& name : map.FeatureNames()) lines.push_back(ListOne(map, name));
  return lines;
}

void WriteFeature(FeatureMap& map, const std::string& name, const HTuple& value, WriteMode mode) {
  const Write write(map, name, value);
  Decoded d;
  try {
    if (!map.Has(name)) Unknown(map, name);
    const genapi::Type type = map.TypeOf(name);
    if (mode == WriteMode::kCheck) write.CheckAccess(false);
    d = write.Decode(type);
    if (mode == WriteMode::kCheck) write.CheckValue(d, false);
    switch (d.type) {
      case genapi::Type::kBoolean:
        map.SetBoolean(name, d.boolean, mode);
        break;
      case genapi::Type::kInteger:
        map.SetInteger(name, d.integer, mode);
        break;
      case genapi::Type::kFloat:
        map.SetFloat(name, d.number, mode);
        break;
      case genapi::Type::kEnumeration:
        map.SetEnumeration(name, d.text, mode);
        break;
      case genapi::Type::kString:
        map.SetString(name, d.text, mode);
        break;
      case genapi::Type::kCommand:
        map.Execute(name, mode);
        break;
      case genapi::Type::kOther:
        break;
    }
  } catch (const FeatureError& e) {
    write.Refused(e, d.type == genapi::Type::kOther ? nullptr : &d);
  }
}

std::string ListedNumber(double v) {
  char text[64];
  const auto r = std::to_chars(text, text + sizeof text, v);
  return std::string(text, r.ptr);
}

}  // namespace vision::detail::camera
