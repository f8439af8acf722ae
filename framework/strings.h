// UTF-16 strings as the framework has them, their UTF-8 copies for C
// libraries, and the string routines the package relies on.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace System {

using String = std::u16string;

// Invalid input never fails: bad UTF-8 sequences and lone surrogates become
// U+FFFD, so text that comes back from a library cannot crash us.
std::string UTF8Encode(std::u16string_view s);
String UTF8ToString(std::string_view s);
String UTF8ToString(const char* s);  // null gives the empty string

// Short ASCII literals in code ("Error read RIFF header") are common enough to
// deserve a helper; non-ASCII text goes through UTF8ToString.
inline String Str(std::string_view ascii) { return String(ascii.begin(), ascii.end()); }

namespace Sysutils {

// One argument of Format, as the framework's "array of const".
class TVarRec {
 public:
  using Value = std::variant<std::int64_t, std::uint64_t, double, String, const void*>;

  TVarRec(int v) : FValue(std::int64_t{v}) {}
  TVarRec(long v) : FValue(std::int64_t{v}) {}
  TVarRec(long long v) : FValue(std::int64_t{v}) {}
  TVarRec(unsigned v) : FValue(std::uint64_t{v}) {}
  TVarRec(unsigned long v) : FValue(std::uint64_t{v}) {}
  TVarRec(unsigned long long v) : FValue(std::uint64_t{v}) {}
  TVarRec(short v) : FValue(std::int64_t{v}) {}
  TVarRec(unsigned short v) : FValue(std::uint64_t{v}) {}
  TVarRec(float v) : FValue(double{v}) {}
  TVarRec(double v) : FValue(v) {}
  TVarRec(String v) : FValue(std::move(v)) {}
  TVarRec(std::u16string_view v) : FValue(String(v)) {}
  TVarRec(const char16_t* v) : FValue(v ? String(v) : String()) {}
  // 8-bit text is taken as UTF-8 and ends at its first NUL byte.
  TVarRec(const char* v) : FValue(UTF8ToString(v)) {}
  TVarRec(const std::string& v) : FValue(UTF8ToString(std::string_view(v))) {}
  TVarRec(const void* v) : FValue(v) {}
  TVarRec(bool) = delete;  // the framework refuses Booleans in Format

  const Value& Get() const { return FValue; }

 private:
  Value FValue;
};

// Delphi-style formatting: %[index:][-][width][.prec]type with the types
// d u x s f g e n p and %%; '*' takes width or precision from the arguments.
// A bad format or a mismatched argument raises EConvertError.
String Format(std::u16string_view fmt, std::span<const TVarRec> args);

template <class... A>
String Format(std::u16string_view fmt, const A&... args) {
  if constexpr (sizeof...(A) == 0) {
    return Format(fmt, std::span<const TVarRec>());
  } else {
    const TVarRec list[] = {TVarRec(args)...};
    return Format(fmt, std::span<const TVarRec>(list));
  }
}

String Trim(std::u16string_view s);  // strips characters <= U+0020 at both ends
String UpperCase(std::u16string_view s);  // ASCII letters only, as the framework does
String LowerCase(std::u16string_view s);
bool SameText(std::u16string_view a, std::u16string_view b);  // ASCII case-insensitive
String IntToStr(std::int64_t v);
// Decimal or $-prefixed hex with an optional sign, surrounding blanks allowed;
// anything else, or a value outside 32 bits, raises EConvertError.
int StrToInt(std::u16string_view s);
std::int64_t StrToInt64(std::u16string_view s);

// The system's text for an errno value (thread-safe).
String SysErrorMessage(int errorCode);

// Regular files only (symbolic links followed); DirectoryExists for folders.
bool FileExists(std::u16string_view path);
bool DirectoryExists(std::u16string_view path);

}  // namespace Sysutils
}  // namespace System
