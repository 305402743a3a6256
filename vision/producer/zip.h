// A ZIP archive holding one file, compressed with raw deflate: how the simulated camera serves
// its device description, as cameras do.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vision::simcam {

// Throws std::runtime_error if zlib fails (it does not for data in memory).
std::vector<std::uint8_t> ZipOneFile(const std::string& name, std::string_view data);

// Whether bytes start like a ZIP archive (local file header signature).
bool LooksLikeZip(std::string_view bytes);

}  // namespace vision::simcam
