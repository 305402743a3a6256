// Reading control values from tuples, and the message every area uses for a bad one:
// "parameter X = value: why". Not installed.
//
// Readers (Read*) say only whether a value is of the kind asked for; the caller words the error,
// because the error code and the wording of a refusal belong to the operator (a camera refuses
// a feature value with its own code, SetSystem names the setting). The *Param functions check a
// value completely and raise HException with the operator's name.
//
// There is one integer reader for the whole library: texts are read as decimal, so "010" is ten
// wherever a number may be given as text.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "vision/HTuple.h"

namespace vision::detail {

// "name = value", the value as Describe prints it ('text', 5, [1, 2]).
std::string Assignment(const std::string& name, const HTuple& value);
// "parameter name = value".
std::string ParamText(const char* name, const HTuple& value);
// Raises HException(code, proc) with the message "parameter name = value: why".
[[noreturn]] void BadParam(std::uint32_t code, const char* proc, const char* name,
                           const HTuple& value, const std::string& why);

// Whether value is exactly the one text given.
bool IsText(const HTuple& value, const char* text);
// One text.
bool ReadText(const HTuple& value, std::string* out);
// The single element as text; a number, or anything that is not one element, as Describe
// prints it.
std::string ValueText(const HTuple& value);
// One integer, or one double with an integral value within the 64-bit range. Texts are refused.
bool ReadIntegerNumber(const HTuple& value, std::int64_t* out);
// What ReadIntegerNumber takes, or one text holding a decimal integer within the 64-bit range:
// digits with an optional '-', nothing else (no '+', blanks or hexadecimal; leading zeros do not
// make it octal).
bool ReadInteger(const HTuple& value, std::int64_t* out);
// One number, or one text holding a number (as strtod reads it, to its end).
bool ReadNumber(const HTuple& value, double* out);
// 'true', 'false', '1', '0' as texts, or the numbers 1 and 0.
bool ReadBoolean(const HTuple& value, bool* out);
// Any number of finite numbers (integers or doubles); an empty tuple gives an empty list.
bool ReadFiniteNumbers(const HTuple& value, std::vector<double>* out);

// Checked parameters: each raises HException naming proc, the parameter and its value.
// One text (kWrongParamType otherwise).
std::string TextParam(const HTuple& value, const char* proc, const char* name);
// One finite number (integer or double).
double NumberParam(const HTuple& value, const char* proc, const char* name);
// A number in [lo, hi].
double NumberInRange(const HTuple& value, const char* proc, const char* name, double lo, double hi);
// One integer (a double with an integral value is accepted too) in [lo, hi].
long long IntegerParam(const HTuple& value, const char* proc, const char* name, long long lo,
                       long long hi);
// "auto" (returns 0) or a number in (0, hi].
double AutoOrPositive(const HTuple& value, const char* proc, const char* name, double hi);
// One text out of a fixed list; returns its index.
int ChoiceParam(const HTuple& value, const char* proc, const char* name,
                std::initializer_list<const char*> choices);
// A range [lo, hi] given as two numbers that must not be the wrong way round.
void CheckRange(double lo, double hi, const char* proc, const char* lo_name, const char* hi_name);

}  // namespace vision::detail
