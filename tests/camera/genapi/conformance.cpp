// Reads real cameras' device descriptions through our GenApi as a camera with zeroed registers
// would show them, applies each case's writes, and compares every feature with the answers a
// reference implementation recorded for the same descriptions and writes.
//
//   genapi_conformance <corpus folder> [--verbose] [stem ...]
//
// The corpus folder holds descriptions/<stem>.xml, cases/<stem>.<case>.txt (write scripts) and
// expected/<stem>.<case>.jsonl (one JSON line per write and per feature). Prints, per description
// and case, how many lines agree; lists every difference and exits 1 when one is not a known
// artefact of the reference (the short list in kReferenceQuirks). Exits 77 (skipped) when the
// folder does not exist.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "camera/genapi/description.h"
#include "camera/genapi/genapi.h"
#include "camera/genapi/xml.h"

namespace fs = std::filesystem;
namespace ga = vision::detail::genapi;

namespace {

// --- a small JSON reader: the expectation lines are flat objects -----------------------------

struct Json {
  enum class T { kNull, kBool, kNumber, kString, kArray, kObject } t = T::kNull;
  bool b = false;
  double num = 0;
  std::string text;  // kString; for kNumber, the number as written
  std::vector<Json> items;
  std::vector<std::pair<std::string, Json>> fields;
  const Json* Get(std::string_view key) const {
    for (const auto& [k, v] : fields)
      if (k == key) return &v;
    return nullptr;
  }
};

class JsonReader {
 public:
  explicit JsonReader(std::string_view s) : s_(s) {}
  Json Read() {
    Json v = Value();
    Blank();
    if (pos_ != s_.size()) Fail("trailing characters");
    return v;
  }

 private:
  [[noreturn]] void Fail(const std::string& why) {
    throw std::runtime_error("JSON: " + why + " at offset " + std::to_string(pos_));
  }
  void Blank() {
    while (pos_ < s_.size() && std::strchr(" \t\r\n", s_[pos_])) ++pos_;
  }
  bool Eat(char c) {
    Blank();
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  void Expect(char c) {
    if (!Eat(c)) Fail(std::string("expected '") + c + "'");
  }
  static void Utf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | cp >> 6);
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | cp >> 12);
      out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | cp >> 18);
      out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  unsigned Hex4() {
    if (pos_ + 4 > s_.size()) Fail("short \\u escape");
    unsigned v = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = s_[pos_++];
      v <<= 4;
      if (c >= '0' && c <= '9')
        v |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f')
        v |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        v |= static_cast<unsigned>(c - 'A' + 10);
      else
        Fail("bad \\u escape");
    }
    return v;
  }
  std::string String() {
    Expect('"');
    std::string out;
    while (true) {
      if (pos_ >= s_.size()) Fail("unterminated string");
      const char c = s_[pos_++];
      if (c == '"') return out;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos_ >= s_.size()) Fail("unterminated escape");
      const char e = s_[pos_++];
      switch (e) {
        case 'n':
          out += '\n';
          break;
        case 't':
          out += '\t';
          break;
        case 'r':
          out += '\r';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'u': {
          unsigned cp = Hex4();
          if (cp >= 0xD800 && cp < 0xDC00 && pos_ + 6 <= s_.size() && s_[pos_] == '\\' &&
              s_[pos_ + 1] == 'u') {
            pos_ += 2;
            const unsigned low = Hex4();
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          }
          Utf8(out, cp);
          break;
        }
        default:
          out += e;
      }
    }
  }
  Json Value() {
    Blank();
    if (pos_ >= s_.size()) Fail("unexpected end");
    Json v;
    const char c = s_[pos_];
    if (c == '{') {
      ++pos_;
      v.t = Json::T::kObject;
      if (Eat('}')) return v;
      do {
        Blank();
        std::string key = String();
        Expect(':');
        v.fields.emplace_back(std::move(key), Value());
      } while (Eat(','));
      Expect('}');
    } else if (c == '[') {
      ++pos_;
      v.t = Json::T::kArray;
      if (Eat(']')) return v;
      do v.items.push_back(Value());
      while (Eat(','));
      Expect(']');
    } else if (c == '"') {
      v.t = Json::T::kString;
      v.text = String();
    } else if (s_.substr(pos_, 4) == "true") {
      pos_ += 4;
      v.t = Json::T::kBool;
      v.b = true;
    } else if (s_.substr(pos_, 5) == "false") {
      pos_ += 5;
      v.t = Json::T::kBool;
    } else if (s_.substr(pos_, 4) == "null") {
      pos_ += 4;
    } else {
      const std::size_t start = pos_;
      while (pos_ < s_.size() && std::strchr("+-0123456789.eE", s_[pos_])) ++pos_;
      v.t = Json::T::kNumber;
      v.text = std::string(s_.substr(start, pos_ - start));
      char* end = nullptr;
      v.num = std::strtod(v.text.c_str(), &end);
      if (v.text.empty() || *end) Fail("bad number");
    }
    return v;
  }
  std::string_view s_;
  std::size_t pos_ = 0;
};

// --- the camera: registers that read zero until written --------------------------------------

class ZeroMemory : public ga::Port {
 public:
  void Read(std::uint64_t address, void* data, std::size_t size) override {
    auto* out = static_cast<std::uint8_t*>(data);
    for (std::size_t i = 0; i < size; ++i) {
      const auto it = bytes_.find(address + i);
      out[i] = it == bytes_.end() ? 0 : it->second;
    }
  }
  void Write(std::uint64_t address, const void* data, std::size_t size) override {
    const auto* in = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < size; ++i) bytes_[address + i] = in[i];
  }

 private:
  std::unordered_map<std::uint64_t, std::uint8_t> bytes_;
};

// --- which nodes are features ----------------------------------------------------------------

const std::set<std::string, std::less<>>& FeatureElements() {
  static const std::set<std::string, std::less<>> kinds = {
      "Integer",     "IntReg",  "MaskedIntReg", "IntSwissKnife", "IntConverter",
      "StructEntry", "Float",   "FloatReg",     "SwissKnife",    "Converter",
      "Enumeration", "Boolean", "String",       "StringReg",     "Command"};
  return kinds;
}

struct Feature {
  std::string name, element;
};

// Every named element of a feature kind that is a child of the root or of a Group (at any
// depth), or a StructEntry of such a StructReg, in document order; the first of a name counts.
std::vector<Feature> ListFeatures(const ga::XmlTree& tree) {
  std::vector<Feature> out;
  std::set<std::string, std::less<>> seen;
  auto add = [&](const ga::XmlElement& e) {
    const std::string* name = e.Attribute("Name");
    if (!name || !FeatureElements().count(e.name)) return;
    if (seen.insert(*name).second) out.push_back({*name, e.name});
  };
  std::vector<std::pair<int, std::size_t>> stack{{0, 0}};
  while (!stack.empty()) {
    auto& [parent, next] = stack.back();
    const ga::XmlElement& p = tree.elements[static_cast<std::size_t>(parent)];
    if (next >= p.children.size()) {
      stack.pop_back();
      continue;
    }
    const int index = p.children[next++];
    const ga::XmlElement& e = tree.elements[static_cast<std::size_t>(index)];
    if (e.name == "Group") {
      stack.emplace_back(index, 0);
    } else if (e.name == "StructReg") {
      for (int c : e.children) add(tree.elements[static_cast<std::size_t>(c)]);
    } else {
      add(e);
    }
  }
  return out;
}

// --- our answers, field by field --------------------------------------------------------------

// A field as we computed it: a value (in the expectation's JSON form, as text) or an error.
struct Field {
  bool error = false;
  std::string message;  // the error's text
  Json value;
};

Field Error(const std::string& message) { return Field{true, message, {}}; }
Field Number(double v, bool integer, std::int64_t i = 0) {
  Json j;
  j.t = Json::T::kNumber;
  j.num = integer ? static_cast<double>(i) : v;
  j.text = integer ? std::to_string(i) : "";
  if (!integer && !std::isfinite(v)) {
    j.t = Json::T::kString;
    j.text = std::isnan(v) ? "nan" : v > 0 ? "inf" : "-inf";
  }
  return Field{false, {}, j};
}
Field Int(std::int64_t i) { return Number(0, true, i); }
Field Float(double d) { return Number(d, false); }
Field Bool(bool b) {
  Json j;
  j.t = Json::T::kBool;
  j.b = b;
  return Field{false, {}, j};
}
Field Text(const std::string& s) {
  Json j;
  j.t = Json::T::kString;
  j.text = s;
  return Field{false, {}, j};
}
Field Texts(const std::vector<std::string>& list) {
  Json j;
  j.t = Json::T::kArray;
  for (const auto& s : list) j.items.push_back(Text(s).value);
  return Field{false, {}, j};
}

template <class F>
Field Try(F&& f) {
  try {
    return f();
  } catch (const ga::Error& e) {
    return Error(e.what());
  } catch (const std::exception& e) {
    return Error(std::string("unexpected exception: ") + e.what());
  }
}

const char* AccessName(ga::Access a) {
  switch (a) {
    case ga::Access::kNI:
      return "NI";
    case ga::Access::kNA:
      return "NA";
    case ga::Access::kWO:
      return "WO";
    case ga::Access::kRO:
      return "RO";
    case ga::Access::kRW:
      return "RW";
  }
  return "?";
}

const char* TypeName(ga::Type t) {
  switch (t) {
    case ga::Type::kInteger:
      return "Integer";
    case ga::Type::kFloat:
      return "Float";
    case ga::Type::kBoolean:
      return "Boolean";
    case ga::Type::kEnumeration:
      return "Enumeration";
    case ga::Type::kCommand:
      return "Command";
    case ga::Type::kString:
      return "String";
    case ga::Type::kOther:
      break;
  }
  return "Other";
}

using Line = std::map<std::string, Field, std::less<>>;

Line Read(ga::NodeMap& map, const std::string& name) {
  Line line;
  const ga::Type type = map.TypeOf(name);
  line["kind"] = Text(TypeName(type));
  const Field access = Try([&] { return Text(AccessName(map.AccessOf(name))); });
  line["access"] = access;
  if (!access.error) {
    const std::string& a = access.value.text;
    line["implemented"] = Bool(a != "NI");
    line["available"] = Bool(a != "NI" && a != "NA");
  }
  line["locked"] = Try([&] { return Bool(map.IsLocked(name)); });
  switch (type) {
    case ga::Type::kInteger:
      line["value"] = Try([&] { return Int(map.GetInteger(name)); });
      line["min"] = Try([&] { return Int(map.IntegerMin(name)); });
      line["max"] = Try([&] { return Int(map.IntegerMax(name)); });
      line["inc"] = Try([&] { return Int(map.IntegerInc(name)); });
      break;
    case ga::Type::kFloat:
      line["value"] = Try([&] { return Float(map.GetFloat(name)); });
      line["min"] = Try([&] { return Float(map.FloatMin(name)); });
      line["max"] = Try([&] { return Float(map.FloatMax(name)); });
      line["inc"] = Try([&] {
        const std::optional<double> inc = map.FloatInc(name);
        return inc ? Float(*inc) : Error("no increment");
      });
      break;
    case ga::Type::kEnumeration: {
      const Field int_value = Try([&] { return Int(map.GetEnumerationValue(name)); });
      if (int_value.error) {
        line["value"] = int_value;
        break;
      }
      line["int_value"] = int_value;
      line["value"] = Try([&] { return Text(map.GetEnumeration(name)); });
      line["entries"] = Try([&] { return Texts(map.EnumerationEntries(name)); });
      break;
    }
    case ga::Type::kBoolean:
      line["value"] = Try([&] { return Bool(map.GetBoolean(name)); });
      break;
    case ga::Type::kString:
      line["value"] = Try([&] { return Text(map.GetString(name)); });
      line["max_length"] = Try([&] { return Int(map.StringMaxLength(name)); });
      break;
    default:
      break;
  }
  return line;
}

// --- writes -----------------------------------------------------------------------------------

bool IsNumber(std::string_view s) {
  if (s.empty()) return false;
  std::size_t i = s[0] == '-' || s[0] == '+' ? 1 : 0;
  if (i == s.size()) return false;
  for (; i < s.size(); ++i)
    if (s[i] < '0' || s[i] > '9') return false;
  return true;
}

// Applies one script line; returns the error text, or nothing when the write was taken.
std::optional<std::string> Apply(ga::NodeMap& map, const std::string& op, const std::string& name,
                                 const std::string& value) {
  try {
    if (op == "exec") {
      map.Execute(name);
      return std::nullopt;
    }
    switch (map.TypeOf(name)) {
      case ga::Type::kInteger:
        map.SetInteger(name, std::stoll(value));
        break;
      case ga::Type::kFloat:
        map.SetFloat(name, std::stod(value));
        break;
      case ga::Type::kEnumeration:
        if (IsNumber(value))
          map.SetEnumerationValue(name, std::stoll(value));
        else
          map.SetEnumeration(name, value);
        break;
      case ga::Type::kBoolean:
        map.SetBoolean(name, value == "true" || value == "1");
        break;
      case ga::Type::kString:
        map.SetString(name, value);
        break;
      default:
        return "not a value feature";
    }
    return std::nullopt;
  } catch (const ga::Error& e) {
    return std::string(e.what());
  } catch (const std::exception& e) {
    return std::string("unexpected exception: ") + e.what();
  }
}

// --- comparing --------------------------------------------------------------------------------

// Lines where the reference's answer is an artefact of its formula parser (both branches of ?:
// evaluated, a float literal refused in an integer formula): there, a value of ours where the
// reference has an error is accepted.
struct Quirk {
  const char* stem_prefix;  // a description stem, or the start of several
  const char* feature;
};
constexpr Quirk kReferenceQuirks[] = {
    {"Basler-acA1300-30gm", "ResultingFrameRateAbs"},
    {"Basler-acA1300-30gm", "ResultingFrameRateAbs_hz_CtrlValueFao"},
    {"Basler-scA1400-30gm", "ResultingFrameRateAbs"},
    {"Basler-scA1400-30gm", "ResultingFrameRateAbs_hz_CtrlValueFao"},
    {"Basler-scA1400-30gm", "ResultingLineRateAbs_hz_CtrlValueFao"},
    {"Basler-scA640-70gm", "ResultingFrameRateAbs"},
    {"Basler-scA640-70gm", "ResultingFrameRateAbs_hz_CtrlValueFao"},
    {"Basler-acA1300-75gm", "N549"},
    {"Basler-acA2040-35gm", "N624"},
    {"AVT_", "RegOffsetValueInt"},
};

bool IsQuirk(const std::string& stem, const std::string& feature) {
  for (const Quirk& q : kReferenceQuirks)
    if (stem.rfind(q.stem_prefix, 0) == 0 && feature == q.feature) return true;
  return false;
}

std::string Show(const Json& j) {
  switch (j.t) {
    case Json::T::kNull:
      return "null";
    case Json::T::kBool:
      return j.b ? "true" : "false";
    case Json::T::kNumber:
      return j.text;
    case Json::T::kString:
      return "\"" + j.text + "\"";
    case Json::T::kArray: {
      std::string s = "[";
      for (std::size_t i = 0; i < j.items.size(); ++i) s += (i ? ", " : "") + Show(j.items[i]);
      return s + "]";
    }
    case Json::T::kObject:
      return "{...}";
  }
  return "?";
}

std::string Show(const Field& f) {
  if (f.error) return "error (" + f.message.substr(0, 160) + ")";
  return Show(f.value);
}

double AsDouble(const Json& j) {
  if (j.t == Json::T::kString) {
    if (j.text == "inf") return INFINITY;
    if (j.text == "-inf") return -INFINITY;
    if (j.text == "nan") return NAN;
  }
  return j.num;
}

bool SameValue(const Json& expected, const Json& ours, bool is_float) {
  if (is_float) {
    const double a = AsDouble(expected), b = AsDouble(ours);
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    if (std::isinf(a) || std::isinf(b)) return a == b;
    return std::fabs(a - b) <= 1e-12 * std::max(std::fabs(a), std::fabs(b));
  }
  if (expected.t != ours.t) return false;
  switch (expected.t) {
    case Json::T::kBool:
      return expected.b == ours.b;
    case Json::T::kNumber:
      return expected.text == ours.text;
    case Json::T::kString:
      return expected.text == ours.text;
    case Json::T::kArray:
      if (expected.items.size() != ours.items.size()) return false;
      for (std::size_t i = 0; i < expected.items.size(); ++i)
        if (!SameValue(expected.items[i], ours.items[i], false)) return false;
      return true;
    default:
      return true;
  }
}

struct Difference {
  std::string field, expected, ours;
};

// The fields of one feature line that differ.
std::vector<Difference> Compare(const Json& expected, const Line& ours, bool quirk) {
  std::vector<Difference> out;
  const bool is_float = expected.Get("kind") && expected.Get("kind")->text == "Float";
  static const char* const kFields[] = {"kind",   "implemented", "available", "locked",
                                        "access", "value",       "int_value", "min",
                                        "max",    "inc",         "entries",   "max_length"};
  for (const char* field : kFields) {
    const Json* value = expected.Get(field);
    const Json* error = expected.Get(std::string(field) + "_error");
    const auto it = ours.find(field);
    const bool have = it != ours.end();
    if (!value && !error) {
      // The reference gives no such field: ours should not either, except where we read a
      // value the reference could not (reported as a difference below via value).
      if (have && !it->second.error && std::string_view(field) == "int_value")
        out.push_back({field, "(absent)", Show(it->second)});
      continue;
    }
    if (!have) {
      out.push_back({field, value ? Show(*value) : "error", "(absent)"});
      continue;
    }
    const Field& f = it->second;
    if (error) {
      if (f.error) continue;
      if (quirk) continue;
      out.push_back({field, "error (" + error->text.substr(0, 120) + ")", Show(f)});
      continue;
    }
    const bool numeric_float =
        is_float && (std::string_view(field) == "value" || std::string_view(field) == "min" ||
                     std::string_view(field) == "max" || std::string_view(field) == "inc");
    if (f.error || !SameValue(*value, f.value, numeric_float))
      out.push_back({field, Show(*value), Show(f)});
  }
  return out;
}

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + p.string());
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

struct Script {
  std::string op, name, value;
};

std::vector<Script> ReadScript(const fs::path& p) {
  std::vector<Script> out;
  std::istringstream in(ReadFile(p));
  std::string line;
  while (std::getline(in, line)) {
    if (const auto hash = line.find('#'); hash != std::string::npos) line.resize(hash);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    std::size_t b = 0;
    while (b < line.size() && std::isspace(static_cast<unsigned char>(line[b]))) ++b;
    line.erase(0, b);
    if (line.empty()) continue;
    const auto space = line.find(' ');
    Script s;
    s.op = line.substr(0, space);
    const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
    const auto eq = rest.find('=');
    s.name = rest.substr(0, eq);
    if (eq != std::string::npos) s.value = rest.substr(eq + 1);
    out.push_back(s);
  }
  return out;
}

struct Tally {
  int lines = 0, agree = 0, differ = 0, quirks = 0;
};

// Runs one case of one description; prints its differences; adds to the tally.
void RunCase(const fs::path& corpus, const std::string& stem, const std::string& case_name,
             bool verbose, Tally* tally) {
  const std::string xml = ReadFile(corpus / "descriptions" / (stem + ".xml"));
  const std::vector<std::string> expected_lines = [&] {
    std::vector<std::string> v;
    std::istringstream in(ReadFile(corpus / "expected" / (stem + "." + case_name + ".jsonl")));
    std::string l;
    while (std::getline(in, l))
      if (!l.empty()) v.push_back(l);
    return v;
  }();
  auto report = [&](const std::string& what) {
    std::printf("  %s.%s: %s\n", stem.c_str(), case_name.c_str(), what.c_str());
  };
  std::unique_ptr<ga::NodeMap> map;
  try {
    map = ga::NodeMap::Parse(xml);
  } catch (const ga::Error& e) {
    report(std::string("does not open: ") + e.what());
    tally->lines += static_cast<int>(expected_lines.size()) - 1;
    tally->differ += static_cast<int>(expected_lines.size()) - 1;
    return;
  }
  ZeroMemory memory;
  // Every port that is no chunk or event port reads the memory; the others stay unconnected.
  for (const std::string& port : map->PortNames())
    if (!map->IsChunkOrEventPort(port)) map->Connect(&memory, port);

  std::vector<Script> script;
  if (case_name != "default")
    script = ReadScript(corpus / "cases" / (stem + "." + case_name + ".txt"));
  std::size_t next_script = 0;
  const ga::XmlTree tree = ga::ParseXml(xml, {ga::kMaxXmlDepth, ga::kMaxXmlItems});
  const std::vector<Feature> features = ListFeatures(tree);
  std::set<std::string> expected_names;

  for (std::size_t i = 1; i < expected_lines.size(); ++i) {
    Json e;
    try {
      e = JsonReader(expected_lines[i]).Read();
    } catch (const std::exception& ex) {
      report("line " + std::to_string(i + 1) + ": " + ex.what());
      ++tally->differ;
      continue;
    }
    ++tally->lines;
    if (const Json* op = e.Get("op")) {
      const Script s = next_script < script.size() ? script[next_script++] : Script{};
      const std::string name = e.Get("name") ? e.Get("name")->text : "";
      const std::string value = e.Get("value") ? e.Get("value")->text : "";
      const std::optional<std::string> refused = Apply(*map, op->text, name, value);
      map->InvalidateAll();
      const bool expected_ok = e.Get("result") != nullptr;
      if (expected_ok == !refused.has_value()) {
        ++tally->agree;
      } else {
        ++tally->differ;
        report(op->text + " " + name + "=" + value + ": reference " +
               (expected_ok ? "accepts"
                            : "refuses (" + e.Get("result_error")->text.substr(0, 60) + ")") +
               ", we " + (refused ? "refuse: " + *refused : "accept"));
      }
      continue;
    }
    const std::string name = e.Get("name")->text;
    expected_names.insert(name);
    if (!map->Has(name)) {
      ++tally->differ;
      report(name + ": we have no such feature");
      continue;
    }
    const Line ours = Read(*map, name);
    const bool quirk = IsQuirk(stem, name);
    const std::vector<Difference> diffs = Compare(e, ours, quirk);
    if (diffs.empty()) {
      ++tally->agree;
      if (quirk) ++tally->quirks;
      continue;
    }
    ++tally->differ;
    std::string text = name + " (" + e.Get("node")->text + "):";
    for (const Difference& d : diffs)
      text += " " + d.field + " " + d.expected + " / ours " + d.ours + ";";
    report(text);
  }
  for (const Feature& f : features)
    if (!expected_names.count(f.name)) {
      ++tally->differ;
      ++tally->lines;
      report(f.name + ": we list it, the reference does not");
    }
  (void)verbose;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <corpus folder> [--verbose] [stem ...]\n", argv[0]);
    return 2;
  }
  const fs::path corpus = argv[1];
  if (!fs::is_directory(corpus / "descriptions")) {
    std::printf("no conformance corpus at %s: skipped\n", corpus.string().c_str());
    return 77;
  }
  bool verbose = false;
  std::set<std::string> only;
  for (int i = 2; i < argc; ++i) {
    if (std::string_view(argv[i]) == "--verbose")
      verbose = true;
    else
      only.insert(argv[i]);
  }
  std::vector<std::string> stems;
  for (const auto& entry : fs::directory_iterator(corpus / "descriptions"))
    if (entry.path().extension() == ".xml") stems.push_back(entry.path().stem().string());
  std::sort(stems.begin(), stems.end());

  Tally total;
  for (const std::string& stem : stems) {
    if (!only.empty() && !only.count(stem)) continue;
    std::vector<std::string> cases = {"default"};
    for (const auto& entry : fs::directory_iterator(corpus / "cases")) {
      const std::string file = entry.path().filename().string();
      if (file.rfind(stem + ".", 0) == 0 && entry.path().extension() == ".txt")
        cases.push_back(file.substr(stem.size() + 1, file.size() - stem.size() - 5));
    }
    std::sort(cases.begin() + 1, cases.end());
    Tally t;
    for (const std::string& c : cases) {
      try {
        RunCase(corpus, stem, c, verbose, &t);
      } catch (const std::exception& e) {
        std::printf("  %s.%s: failed: %s\n", stem.c_str(), c.c_str(), e.what());
        ++t.differ;
      }
    }
    std::printf(
        "%-32s %6d of %6d lines agree (%.1f%%)%s\n", stem.c_str(), t.agree, t.lines,
        t.lines ? 100.0 * t.agree / t.lines : 100.0,
        t.quirks ? (" (" + std::to_string(t.quirks) + " at reference quirks)").c_str() : "");
    std::fflush(stdout);
    total.lines += t.lines;
    total.agree += t.agree;
    total.differ += t.differ;
    total.quirks += t.quirks;
  }
  std::printf("%-32s %6d of %6d lines agree (%.1f%%)\n", "all", total.agree, total.lines,
              total.lines ? 100.0 * total.agree / total.lines : 100.0);
  return total.differ ? 1 : 0;
}
