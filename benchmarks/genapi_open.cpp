// Opening a device description against its size: for each shape that makes a description
// large (many registers, variables, entries, nested features, selectors with flags), the time
// to parse and check it, and the time of a first full listing (every feature's access and, where
// readable, its value). Sizes run up to the description limits.
//
//   genapi_open [largest fraction of the limit, default 1]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "camera/genapi/description.h"
#include "camera/genapi/genapi.h"
#include "large_descriptions.h"

namespace ga = vision::detail::genapi;

namespace {

class ZeroPort : public ga::Port {
 public:
  void Read(std::uint64_t, void* data, std::size_t size) override {
    std::fill_n(static_cast<char*>(data), size, '\0');
  }
  void Write(std::uint64_t, const void*, std::size_t) override {}
};

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Processor time of this process: the figure that does not depend on what else the machine runs.
double Cpu(std::clock_t since) {
  return static_cast<double>(std::clock() - since) / CLOCKS_PER_SEC;
}

void List(ga::NodeMap& map) {
  for (const std::string& name : map.FeatureNames()) {
    try {
      if (map.AccessOf(name) == ga::Access::kNI) continue;
      switch (map.TypeOf(name)) {
        case ga::Type::kInteger:
          map.GetInteger(name);
          break;
        case ga::Type::kEnumeration:
          map.GetEnumeration(name);
          map.EnumerationEntries(name);
          break;
        default:
          break;
      }
    } catch (const ga::Error&) {
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const double largest = argc > 1 ? std::atof(argv[1]) : 1.0;
  std::printf("%-16s %9s %9s %10s %10s %10s  %s\n", "shape", "units", "MB", "open s", "open cpu s",
              "listing s", "outcome");
  for (const auto& shape : vision::test::DescriptionShapes()) {
    const std::size_t limit = ga::kMaxXmlItems / shape.items_per_unit;
    for (double fraction : {0.125, 0.25, 0.5, 1.0}) {
      if (fraction > largest) break;
      const auto units = static_cast<std::size_t>(static_cast<double>(limit) * fraction);
      const std::string xml = vision::test::LargeDescription(shape.shape, units);
      auto start = std::chrono::steady_clock::now();
      const std::clock_t cpu = std::clock();
      std::string outcome = "opened";
      double listing = 0;
      try {
        auto map = ga::NodeMap::Parse(xml);
        const double open = Seconds(start), open_cpu = Cpu(cpu);
        ZeroPort port;
        map->Connect(&port);
        start = std::chrono::steady_clock::now();
        List(*map);
        listing = Seconds(start);
        std::printf("%-16s %9zu %9.1f %10.3f %10.3f %10.3f  %s\n", shape.name, units,
                    static_cast<double>(xml.size()) / 1e6, open, open_cpu, listing,
                    outcome.c_str());
      } catch (const ga::Error& e) {
        std::printf("%-16s %9zu %9.1f %10.3f %10.3f %10s  refused: %.80s\n", shape.name, units,
                    static_cast<double>(xml.size()) / 1e6, Seconds(start), Cpu(cpu), "-", e.what());
      }
      std::fflush(stdout);
    }
  }
  return 0;
}
