// The info queries of GenTL (every *GetInfo, the *GetID functions, port URLs), done the one
// careful way for every caller:
//
//  - texts: a size query first (no buffer), then the data into a buffer of that size; when the
//    value grew in between (GC_ERR_BUFFER_TOO_SMALL) the two steps are repeated; the text ends
//    at its first NUL or at the size the producer reports, whichever comes first;
//  - numbers: an 8-byte slot, zeroed, is offered; the answer is read by the type and size the
//    producer reports (a 32-bit value typed INT32 where UINT32 was documented, a SIZET of 4 or 8
//    bytes, a pointer the producer claims to have written but did not: still 0);
//  - after an error the buffer is never looked at.
//
// A query is a callable (INFO_DATATYPE* type, void* buffer, size_t* size) -> GC_ERROR, usually a
// lambda around one producer function.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "camera/gentl/library.h"

namespace vision::detail::camera::gentl {

// A non-owning reference to a query callable.
class InfoCall {
 public:
  template <class F>
  InfoCall(const F& f)  // NOLINT: built implicitly from lambdas
      : context_(&f), call_([](const void* c, abi::INFO_DATATYPE* t, void* b, std::size_t* s) {
          return (*static_cast<const F*>(c))(t, b, s);
        }) {}
  abi::GC_ERROR operator()(abi::INFO_DATATYPE* type, void* buffer, std::size_t* size) const {
    return call_(context_, type, buffer, size);
  }

 private:
  const void* context_;
  abi::GC_ERROR (*call_)(const void*, abi::INFO_DATATYPE*, void*, std::size_t*);
};

// A numeric answer as the producer typed it.
struct InfoNumber {
  abi::INFO_DATATYPE type = abi::INFO_DATATYPE_UNKNOWN;
  std::size_t size = 0;    // bytes the producer wrote: 1, 2, 4 or 8
  std::uint64_t bits = 0;  // the value, sign-extended for the signed types
  bool is_signed = false;  // INT16, INT32, INT64, PTRDIFF
  bool is_float = false;   // FLOAT64: bits hold the double
};

// The longest text accepted from a producer (an ID, a name, a URL, a list of names).
inline constexpr std::size_t kMaxInfoText = 1 << 20;

// The raw steps, for the wrappers below and for tests. They return the producer's result of the
// step that failed (GC_ERR_SUCCESS otherwise); *problem receives what was wrong with an answer
// that came with success but cannot be used (and the result is then GC_ERR_ERROR).
abi::GC_ERROR QueryText(const InfoCall& call, std::string* out, std::string* problem);
abi::GC_ERROR QueryNumber(const InfoCall& call, InfoNumber* out, std::string* problem);

// Text of a query; raises GenTLError naming function on a failure or an unusable answer.
std::string InfoText(const Library& lib, const char* function, const InfoCall& call);
// Text of a query, or nothing when the producer has no usable answer (an optional item).
std::optional<std::string> TryInfoText(const InfoCall& call);

// An unsigned number (UINT*, SIZET, PTR, BOOL8; a signed answer must not be negative); raises
// GenTLError.
std::uint64_t InfoUnsigned(const Library& lib, const char* function, const InfoCall& call);
std::optional<std::uint64_t> TryInfoUnsigned(const InfoCall& call);
// A signed number (any integer type; an unsigned answer must fit).
std::int64_t InfoSigned(const Library& lib, const char* function, const InfoCall& call);
std::optional<std::int64_t> TryInfoSigned(const InfoCall& call);
// A flag (BOOL8, or any integer: non-zero is true).
bool InfoBool(const Library& lib, const char* function, const InfoCall& call);
std::optional<bool> TryInfoBool(const InfoCall& call);

// Interpretations of an answer; false (with *problem) when it is not a number of that kind.
bool AsUnsigned(const InfoNumber& n, std::uint64_t* out, std::string* problem);
bool AsSigned(const InfoNumber& n, std::int64_t* out, std::string* problem);

// The name of an INFO_DATATYPE for messages ("STRING", "UINT32", ...).
const char* TypeName(abi::INFO_DATATYPE type);

}  // namespace vision::detail::camera::gentl
