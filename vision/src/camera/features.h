// The camera feature layer: reading and writing a camera's features by name, the same way for
// every backend. A backend implements FeatureMap over its own node map (our GenApi node map for
// GenTL cameras, Aravis's for Aravis cameras); ReadFeature and WriteFeature turn tuples into
// typed calls on it and every failure into the DeviceError HFramegrabber reports, worded once:
//
//   camera 'M S' has no feature 'Gamma' (it offers Width, Height, ...)
//   camera 'M S' refused Width = 5: out of range 16 to 8192
//   reading Width from camera 'M S' failed: why
//
// A write in WriteMode::kCheck raises what the write would raise for reasons known without
// writing (not implemented, not writable, locked, not available, a value of the wrong kind,
// out of range, no such entry) and writes nothing. A write in WriteMode::kWrite is made at once
// and explained only when it fails: checks cost the camera requests of their own, and a
// software trigger should cost one request, not five. A failure the backend cannot explain
// (FeatureFault::kUnexplained) is explained by asking the map what the check asks.
//
// Not installed. Thread safety: as the seam's Device (one thread at a time).
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "camera/genapi/genapi.h"
#include "detail/text.h"
#include "vision/HTuple.h"

namespace vision::detail::camera {

// Why a FeatureMap call failed.
enum class FeatureFault {
  kUnknown,            // no feature of that name, or not implemented
  kNoSuchEntry,        // an enumeration entry the feature does not offer now
  kNotWritable,        // read-only now (locked, for instance)
  kNotAvailable,       // not available in the camera's current state
  kOutOfRange,         // outside the feature's range or off its increment
  kLost,               // the camera stopped answering (the reason says how)
  kBrokenDescription,  // the camera's description cannot be evaluated
  kUnexplained,        // the camera refused without saying why: the layer asks the map
  kOther,              // the reason is all there is to say
};

class FeatureError : public std::runtime_error {
 public:
  FeatureError(FeatureFault fault, const std::string& reason)
      : std::runtime_error(reason), fault_(fault) {}
  FeatureFault Fault() const noexcept { return fault_; }

 private:
  FeatureFault fault_;
};

enum class WriteMode { kCheck, kWrite };

// A backend's features. Calls raise FeatureError; they may also raise DeviceError, which passes
// through the layer as it is (a camera known to be lost, for instance).
class FeatureMap {
 public:
  virtual ~FeatureMap() = default;

  // The camera's name for messages (Device::Name()).
  virtual std::string CameraName() const = 0;
  // The features to list when a name is unknown; none lists nothing.
  virtual std::vector<std::string> FeatureNames() const { return {}; }

  virtual bool Has(const std::string& name) = 0;
  virtual genapi::Type TypeOf(const std::string& name) = 0;
  virtual genapi::Access AccessOf(const std::string& name) = 0;
  // Why the feature cannot be written now though it exists and is implemented (acquisition
  // runs, for instance), in the backend's words; "" when it is not locked.
  virtual std::string LockReason(const std::string& name) = 0;
  virtual genapi::IntRange IntegerRange(const std::string& name) = 0;
  virtual genapi::FloatRange FloatRange(const std::string& name) = 0;
  // The entries an enumeration offers now.
  virtual std::vector<std::string> Entries(const std::string& name) = 0;
  // For listings: the unit of a number ("" when it has none or the backend cannot tell), why
  // an NI or NA feature has no value ("" when the backend cannot tell), and the longest text a
  // string takes (nothing when the backend cannot tell).
  virtual std::string Unit(const std::string& /*name*/) { return {}; }
  virtual std::string WhyNotAccessible(const std::string& /*name*/) { return {}; }
  virtual std::optional<std::int64_t> StringMaxLength(const std::string& /*name*/) { return {}; }

  virtual std::int64_t GetInteger(const std::string& name) = 0;
  virtual double GetFloat(const std::string& name) = 0;
  virtual bool GetBoolean(const std::string& name) = 0;
  virtual std::string GetEnumeration(const std::string& name) = 0;
  virtual std::string GetString(const std::string& name) = 0;

  // Typed writes. With kCheck the layer has already checked access, kind, range and entries;
  // a backend that can check more without writing does so here, the others return.
  virtual void SetInteger(const std::string& name, std::int64_t value, WriteMode mode) = 0;
  virtual void SetFloat(const std::string& name, double value, WriteMode mode) = 0;
  virtual void SetBoolean(const std::string& name, bool value, WriteMode mode) = 0;
  virtual void SetEnumeration(const std::string& name, const std::string& entry,
                              WriteMode mode) = 0;
  virtual void SetString(const std::string& name, const std::string& value, WriteMode mode) = 0;
  virtual void Execute(const std::string& name, WriteMode mode) = 0;
};

// A feature's value: integers and booleans as integer, floats as double, enumeration entries
// and strings as text. Raises DeviceError: kAcqUnknownParam for a name the camera lacks or a
// feature without a value, kAcqParamValue for a command or a failed read, kAcqLost.
HTuple ReadFeature(FeatureMap& map, const std::string& name);

// Writes (or only checks) a feature: an enumeration by entry name, an integer (also from a text
// holding a decimal integer), a float (also from a text holding a number), a boolean (true,
// false, 1, 0), a string, or a command (executed; the value is ignored). Raises DeviceError
// with the codes of HErrorCodes.h: kAcqUnknownParam, kAcqReadOnly, kAcqParamValue, kAcqLost.
void WriteFeature(FeatureMap& map, const std::string& name, const HTuple& value, WriteMode mode);

// The feature listing: one line for each feature map.FeatureNames() gives, in that order, with
// its name, type, access, value (or why it has none) and range or entries:
//
//   'Width' Integer RW value:640 min:16 max:8192 inc:16 unit:'px'
//   'ExposureTime' Float RW value:10000 min:10 max:1000000 unit:'us'
//   'PixelFormat' Enumeration RW value:'Mono8' entries:'Mono8','Mono16'
//   'DeviceUserID' String RW value:'' max_length:16
//   'TriggerSoftware' Command WO
//   'Gain' Integer NI no_value:'its pIsImplemented \'GainOK\' reads 0'
//   'Gamma' Float RO error:'...'
//
// Every text the camera or its description gave (names, values, entries, units, reasons) is
// quoted and escaped (detail/text.h), so no field ends a line or poses as another field. A
// feature whose value, range or entries cannot be read is listed with the failure in place of
// what is missing; only a lost camera fails the listing (DeviceError kAcqLost).
std::vector<std::string> ListFeatures(FeatureMap& map);

// A number as the listings show it: the shortest text that reads back as the same double.
std::string ListedNumber(double v);

// A feature's value as the listings show it (texts quoted and escaped), read from any node map
// that offers the typed reads (FeatureMap, genapi::NodeMap); empty for a type without a value.
template <typename Map>
std::string ListedValue(Map& map, const std::string& name, genapi::Type type) {
  switch (type) {
    case genapi::Type::kInteger:
      return std::to_string(map.GetInteger(name));
    case genapi::Type::kFloat:
      return ListedNumber(map.GetFloat(name));
    case genapi::Type::kBoolean:
      return map.GetBoolean(name) ? "true" : "false";
    case genapi::Type::kEnumeration:
      return Quoted(map.GetEnumeration(name));
    case genapi::Type::kString:
      return Quoted(map.GetString(name));
    default:
      return {};
  }
}

}  // namespace vision::detail::camera
