// Where GenTL producers are: the search-path variable (GENICAM_GENTL64_PATH in a 64-bit
// process, GENICAM_GENTL32_PATH in a 32-bit one) and the files it names.
//
// The variable holds entries separated by ';' on Windows and ':' elsewhere. An entry is a
// folder (its files ending in ".cti", in name order; sub-folders are not searched) or one
// producer file. Empty entries are skipped. A file reached twice (listed twice, through two
// folders, or through a symbolic link) is taken once, at its first place.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vision::detail::camera::gentl {

// The name of the variable this process reads.
const char* ProducerPathVariable();
// The separator of its entries on this system.
char ProducerPathSeparator();

// An entry of the path that gives no producer, and why (a folder or file that does not exist,
// a folder that cannot be read).
struct PathProblem {
  std::string entry;
  std::string reason;
};

struct ProducerFiles {
  std::vector<std::string> files;  // absolute, canonical paths in search order
  std::vector<PathProblem> problems;
};

// The producer files named by a search-path text, split at separator.
ProducerFiles FindProducerFiles(std::string_view path_list, char separator);

// The canonical form of a path (absolute, symbolic links resolved where the file exists), the
// key under which a producer file is loaded once.
std::string CanonicalPath(const std::string& path);
// Whether two paths name the same file or folder (their canonical forms, case-folded on Windows).
bool SamePath(const std::string& a, const std::string& b);

}  // namespace vision::detail::camera::gentl
