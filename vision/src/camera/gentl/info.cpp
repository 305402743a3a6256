#include "camera/gentl/info.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

namespace vision::detail::camera::gentl {
namespace {

bool IsTextType(abi::INFO_DATATYPE t) {
  return t == abi::INFO_DATATYPE_STRING || t == abi::INFO_DATATYPE_STRINGLIST ||
         t == abi::INFO_DATATYPE_BUFFER || t == abi::INFO_DATATYPE_UNKNOWN;
}

}  // namespace

const char* TypeName(abi::INFO_DATATYPE type) {
  switch (type) {
    case abi::INFO_DATATYPE_UNKNOWN:
      return "UNKNOWN";
    case abi::INFO_DATATYPE_STRING:
      return "STRING";
    case abi::INFO_DATATYPE_STRINGLIST:
      return "STRINGLIST";
    case abi::INFO_DATATYPE_INT16:
      return "INT16";
    case abi::INFO_DATATYPE_UINT16:
      return "UINT16";
    case abi::INFO_DATATYPE_INT32:
      return "INT32";
    case abi::INFO_DATATYPE_UINT32:
      return "UINT32";
    case abi::INFO_DATATYPE_INT64:
      return "INT64";
    case abi::INFO_DATATYPE_UINT64:
      return "UINT64";
    case abi::INFO_DATATYPE_FLOAT64:
      return "FLOAT64";
    case abi::INFO_DATATYPE_PTR:
      return "PTR";
    case abi::INFO_DATATYPE_BOOL8:
      return "BOOL8";
    case abi::INFO_DATATYPE_SIZET:
      return "SIZET";
    case abi::INFO_DATATYPE_BUFFER:
      return "BUFFER";
    case abi::INFO_DATATYPE_PTRDIFF:
      return "PTRDIFF";
    default:
      return "a producer-specific type";
  }
}

abi::GC_ERROR QueryText(const InfoCall& call, std::string* out, std::string* problem) {
  out->clear();
  // The value may grow between the size query and the read (a device list being updated):
  // then both steps again, a few times.
  for (int attempt = 0; attempt < 4; ++attempt) {
    abi::INFO_DATATYPE type = abi::INFO_DATATYPE_UNKNOWN;
    std::size_t size = 0;
    abi::GC_ERROR r = call(&type, nullptr, &size);
    if (r != abi::GC_ERR_SUCCESS) return r;
    if (size > kMaxInfoText) {
      *problem = "claims a text of " + std::to_string(size) + " bytes (more than " +
                 std::to_string(kMaxInfoText) + ")";
      return abi::GC_ERR_ERROR;
    }
    if (size == 0) return abi::GC_ERR_SUCCESS;  // an empty text without even its NUL
    std::vector<char> buffer(size + 1, '\0');
    std::size_t got = size;
    type = abi::INFO_DATATYPE_UNKNOWN;
    r = call(&type, buffer.data(), &got);
    if (r == abi::GC_ERR_BUFFER_TOO_SMALL) continue;
    if (r != abi::GC_ERR_SUCCESS) return r;
    if (!IsTextType(type)) {
      *problem = std::string("answered with a ") + TypeName(type) + " where a text was expected";
      return abi::GC_ERR_ERROR;
    }
    const std::size_t length = std::min(got, size);
    out->assign(buffer.data(), ::strnlen(buffer.data(), length));
    return abi::GC_ERR_SUCCESS;
  }
  *problem = "kept answering GC_ERR_BUFFER_TOO_SMALL for the size it had asked for";
  return abi::GC_ERR_ERROR;
}

abi::GC_ERROR QueryNumber(const InfoCall& call, InfoNumber* out, std::string* problem) {
  *out = InfoNumber{};
  unsigned char slot[8] = {};
  abi::INFO_DATATYPE type = abi::INFO_DATATYPE_UNKNOWN;
  std::size_t size = sizeof slot;
  const abi::GC_ERROR r = call(&type, slot, &size);
  if (r != abi::GC_ERR_SUCCESS) return r;
  if (type == abi::INFO_DATATYPE_STRING || type == abi::INFO_DATATYPE_STRINGLIST ||
      type == abi::INFO_DATATYPE_BUFFER) {
    *problem = std::string("answered with a ") + TypeName(type) + " where a number was expected";
    return abi::GC_ERR_ERROR;
  }
  if (size != 1 && size != 2 && size != 4 && size != 8) {
    *problem = "answered a number of " + std::to_string(size) + " bytes (" + TypeName(type) + ")";
    return abi::GC_ERR_ERROR;
  }
  out->type = type;
  out->size = size;
  out->is_signed = type == abi::INFO_DATATYPE_INT16 || type == abi::INFO_DATATYPE_INT32 ||
                   type == abi::INFO_DATATYPE_INT64 || type == abi::INFO_DATATYPE_PTRDIFF;
  out->is_float = type == abi::INFO_DATATYPE_FLOAT64;
  if (out->is_float && size != 8) {
    *problem = "answered a FLOAT64 of " + std::to_string(size) + " bytes";
    return abi::GC_ERR_ERROR;
  }
  // The bytes in memory order: copying them into a value of the answered width reads it in the
  // host's byte order, as the producer wrote it.
  switch (size) {
    case 1: {
      std::uint8_t v;
      std::memcpy(&v, slot, 1);
      out->bits = out->is_signed ? std::uint64_t(std::int64_t(std::int8_t(v))) : v;
      break;
    }
    case 2: {
      std::uint16_t v;
      std::memcpy(&v, slot, 2);
      out->bits = out->is_signed ? std::uint64_t(std::int64_t(std::int16_t(v))) : v;
      break;
    }
    case 4: {
      std::uint32_t v;
      std::memcpy(&v, slot, 4);
      out->bits = out->is_signed ? std::uint64_t(std::int64_t(std::int32_t(v))) : v;
      break;
    }
    default:
      std::memcpy(&out->bits, slot, 8);
  }
  return abi::GC_ERR_SUCCESS;
}

bool AsUnsigned(const InfoNumber& n, std::uint64_t* out, std::string* problem) {
  if (n.is_float) {
    double d;
    std::memcpy(&d, &n.bits, 8);
    if (!(d >= 0 && d < 18446744073709551616.0) || d != double(std::uint64_t(d))) {
      *problem = "answered " + std::to_string(d) + " where a whole number was expected";
      return false;
    }
    *out = std::uint64_t(d);
    return true;
  }
  if (n.is_signed && std::int64_t(n.bits) < 0) {
    *problem = "answered the negative number " + std::to_string(std::int64_t(n.bits)) + " (" +
               TypeName(n.type) + ")";
    return false;
  }
  *out = n.bits;
  return true;
}

bool AsSigned(const InfoNumber& n, std::int64_t* out, std::string* problem) {
  if (n.is_float) {
    double d;
    std::memcpy(&d, &n.bits, 8);
    if (!(d >= -9.2e18 && d <= 9.2e18) || d != double(std::int64_t(d))) {
      *problem = "answered " + std::to_string(d) + " where a whole number was expected";
      return false;
    }
    *out = std::int64_t(d);
    return true;
  }
  if (!n.is_signed && n.bits > std::uint64_t(INT64_MAX)) {
    *problem = "answered " + std::to_string(n.bits) + ", too large";
    return false;
  }
  *out = std::int64_t(n.bits);
  return true;
}

std::string InfoText(const Library& lib, const char* function, const InfoCall& call) {
  std::string out, problem;
  const abi::GC_ERROR r = QueryText(call, &out, &problem);
  if (!problem.empty()) lib.Wrong(function, problem);
  lib.Check(r, function);
  return out;
}

std::optional<std::string> TryInfoText(const InfoCall& call) {
  std::string out, problem;
  if (QueryText(call, &out, &problem) != abi::GC_ERR_SUCCESS) return std::nullopt;
  return out;
}

std::uint64_t InfoUnsigned(const Library& lib, const char* function, const InfoCall& call) {
  InfoNumber n;
  std::string problem;
  const abi::GC_ERROR r = QueryNumber(call, &n, &problem);
  if (!problem.empty()) lib.Wrong(function, problem);
  lib.Check(r, function);
  std::uint64_t v = 0;
  if (!AsUnsigned(n, &v, &problem)) lib.Wrong(function, problem);
  return v;
}

std::optional<std::uint64_t> TryInfoUnsigned(const InfoCall& call) {
  InfoNumber n;
  std::string problem;
  std::uint64_t v = 0;
  if (QueryNumber(call, &n, &problem) != abi::GC_ERR_SUCCESS || !AsUnsigned(n, &v, &problem))
    return std::nullopt;
  return v;
}

std::int64_t InfoSigned(const Library& lib, const char* function, const InfoCall& call) {
  InfoNumber n;
  std::string problem;
  const abi::GC_ERROR r = QueryNumber(call, &n, &problem);
  if (!problem.empty()) lib.Wrong(function, problem);
  lib.Check(r, function);
  std::int64_t v = 0;
  if (!AsSigned(n, &v, &problem)) lib.Wrong(function, problem);
  return v;
}

std::optional<std::int64_t> TryInfoSigned(const InfoCall& call) {
  InfoNumber n;
  std::string problem;
  std::int64_t v = 0;
  if (QueryNumber(call, &n, &problem) != abi::GC_ERR_SUCCESS || !AsSigned(n, &v, &problem))
    return std::nullopt;
  return v;
}

bool InfoBool(const Library& lib, const char* function, const InfoCall& call) {
  InfoNumber n;
  std::string problem;
  const abi::GC_ERROR r = QueryNumber(call, &n, &problem);
  if (!problem.empty()) lib.Wrong(function, problem);
  lib.Check(r, function);
  return n.bits != 0;
}

std::optional<bool> TryInfoBool(const InfoCall& call) {
  InfoNumber n;
  std::string problem;
  if (QueryNumber(call, &n, &problem) != abi::GC_ERR_SUCCESS) return std::nullopt;
  return n.bits != 0;
}

}  // namespace vision::detail::camera::gentl
