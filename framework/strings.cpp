#include "framework/strings.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "framework/exceptions.h"
#include "framework/native_file.h"

namespace System {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void AppendUtf16(String& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

std::string UTF8Encode(std::u16string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    const char16_t c = s[i];
    if (IsHighSurrogate(c) && i + 1 < s.size() && IsLowSurrogate(s[i + 1])) {
      AppendUtf8(out, 0x10000 + ((char32_t(c) - 0xD800) << 10) + (s[i + 1] - 0xDC00));
      ++i;
    } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
      AppendUtf8(out, kReplacement);
    } else {
      AppendUtf8(out, c);
    }
  }
  return out;
}

// Decodes with "maximal subpart" replacement: each ill-formed prefix becomes
// one U+FFFD and decoding resumes at the first byte that could start a new
// sequence.
String UTF8ToString(std::string_view s) {
  String out;
  out.reserve(s.size());
  size_t i = 0;
  const size_t n = s.size();
  while (i < n) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
      out.push_back(b0);
      ++i;
      continue;
    }
    int len = 0;
    char32_t cp = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      len = 2;
      cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      len = 3;
      cp = b0 & 0x0F;
      if (b0 == 0xE0) lo = 0xA0;
      if (b0 == 0xED) hi = 0x9F;  // no encoded surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      len = 4;
      cp = b0 & 0x07;
      if (b0 == 0xF0) lo = 0x90;
      if (b0 == 0xF4) hi = 0x8F;
    } else {
      out.push_back(kReplacement);
      ++i;
      continue;
    }
    size_t j = i + 1;
    bool ok = true;
    for (int k = 1; k < len; ++k, ++j) {
      if (j >= n) {
        ok = false;
        break;
      }
      const auto b = static_cast<unsigned char>(s[j]);
      const unsigned char l = (k == 1) ? lo : 0x80;
      const unsigned char h = (k == 1) ? hi : 0xBF;
      if (b < l || b > h) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (b & 0x3F);
    }
    if (ok) {
      AppendUtf16(out, cp);
    } else {
      out.push_back(kReplacement);
    }
    i = j;
  }
  return out;
}

String UTF8ToString(const char* s) { return s ? UTF8ToString(std::string_view(s)) : String(); }

namespace Sysutils {

namespace {

[[noreturn]] void FormatError(std::u16string_view fmt) {
  throw EConvertError(u"Format '" + String(fmt) + u"' invalid or incompatible with argument");
}

[[noreturn]] void NoArgument(std::u16string_view fmt) {
  throw EConvertError(u"No argument for format '" + String(fmt) + u"'");
}

String FromAscii(const char* s, size_t n) { return String(s, s + n); }

String FormatNumber(double v, char conv, int prec) {
  char buf[512];
  int n = 0;
  switch (conv) {
    case 'f':
      n = std::snprintf(buf, sizeof buf, "%.*f", prec < 0 ? 2 : std::min(prec, 18), v);
      break;
    case 'e': {
      // The framework writes "d.dddE+ddd": a precision of significant digits
      // (15 by default) and a three-digit exponent.
      const int digits = prec < 0 ? 15 : std::max(1, std::min(prec, 18));
      n = std::snprintf(buf, sizeof buf, "%.*E", digits - 1, v);
      std::string s(buf, n);
      const auto epos = s.find('E');
      if (epos != std::string::npos) {
        std::string exp = s.substr(epos + 2);
        while (exp.size() < 3) exp.insert(exp.begin(), '0');
        s = s.substr(0, epos + 2) + exp;
      }
      return FromAscii(s.data(), s.size());
    }
    case 'g':
      n = std::snprintf(buf, sizeof buf, "%.*G", prec < 0 ? 15 : std::max(1, std::min(prec, 18)), v);
      break;
    case 'n': {
      n = std::snprintf(buf, sizeof buf, "%.*f", prec < 0 ? 2 : std::min(prec, 18), v);
      const std::string_view s(buf, std::max(n, 0));
      auto dot = s.find('.');
      if (dot == std::string_view::npos) dot = s.size();
      const size_t start = (!s.empty() && s[0] == '-') ? 1 : 0;
      String grouped = FromAscii(s.data(), start);
      for (size_t p = start; p < dot; ++p) {
        if (p > start && (dot - p) % 3 == 0) grouped.push_back(u',');
        grouped.push_back(s[p]);
      }
      return grouped + FromAscii(s.data() + dot, s.size() - dot);
    }
  }
  return FromAscii(buf, std::max(n, 0));
}

// The widest field or longest precision Format accepts.
constexpr int kMaxWidth = 100000;

String Pad(String body, int width, bool left) {
  if (width > 0 && static_cast<int>(body.size()) < width) {
    const String fill(width - body.size(), u' ');
    body = left ? body + fill : fill + body;
  }
  return body;
}

}  // namespace

String Format(std::u16string_view fmt, std::span<const TVarRec> args) {
  String out;
  size_t next = 0;
  size_t i = 0;
  auto take = [&](void) -> const TVarRec& {
    if (next >= args.size()) NoArgument(fmt);
    return args[next++];
  };
  // A width or precision from the arguments obeys the same bound as a
  // literal one: a stray large number must not build a huge string.
  auto takeInt = [&]() -> int {
    const auto& v = take().Get();
    if (const auto* p = std::get_if<std::int64_t>(&v)) {
      if (*p >= -kMaxWidth && *p <= kMaxWidth) return static_cast<int>(*p);
    } else if (const auto* q = std::get_if<std::uint64_t>(&v)) {
      if (*q <= std::uint64_t{kMaxWidth}) return static_cast<int>(*q);
    }
    FormatError(fmt);
  };
  while (i < fmt.size()) {
    const char16_t c = fmt[i++];
    if (c != u'%') {
      out.push_back(c);
      continue;
    }
    if (i >= fmt.size()) FormatError(fmt);
    if (fmt[i] == u'%') {
      out.push_back(u'%');
      ++i;
      continue;
    }
    // [index:]
    size_t j = i;
    int number = -1;
    auto readNumber = [&](size_t& k) -> int {
      if (k < fmt.size() && fmt[k] == u'*') {
        ++k;
        return takeInt();
      }
      int v = -1;
      while (k < fmt.size() && fmt[k] >= u'0' && fmt[k] <= u'9') {
        v = (v < 0 ? 0 : v) * 10 + (fmt[k] - u'0');
        if (v > kMaxWidth) FormatError(fmt);
        ++k;
      }
      return v;
    };
    while (j < fmt.size() && fmt[j] >= u'0' && fmt[j] <= u'9') ++j;
    if (j < fmt.size() && fmt[j] == u':') {
      number = readNumber(i);
      next = static_cast<size_t>(number < 0 ? 0 : number);
      i = j + 1;
    }
    bool left = false;
    if (i < fmt.size() && fmt[i] == u'-') {
      left = true;
      ++i;
    }
    int width = readNumber(i);
    int prec = -1;
    if (i < fmt.size() && fmt[i] == u'.') {
      ++i;
      prec = readNumber(i);
      if (prec < 0) prec = 0;
    }
    if (i >= fmt.size()) FormatError(fmt);
    char16_t conv = fmt[i++];
    if (conv >= u'A' && conv <= u'Z') conv = conv - u'A' + u'a';
    const auto& value = take().Get();
    String body;
    switch (conv) {
      case u'd':
      case u'u':
      case u'x': {
        std::uint64_t mag = 0;
        bool neg = false;
        if (const auto* p = std::get_if<std::int64_t>(&value)) {
          if (conv == u'u' || conv == u'x') {
            // Negative numbers print as their two's complement, as the
            // framework does for 32-bit arguments.
            mag = (*p >= std::numeric_limits<std::int32_t>::min() && *p <= std::numeric_limits<std::int32_t>::max())
                      ? static_cast<std::uint32_t>(*p)
                      : static_cast<std::uint64_t>(*p);
          } else {
            neg = *p < 0;
            mag = neg ? 0 - static_cast<std::uint64_t>(*p) : static_cast<std::uint64_t>(*p);
          }
        } else if (const auto* q = std::get_if<std::uint64_t>(&value)) {
          mag = *q;
        } else {
          FormatError(fmt);
        }
        char buf[32];
        const int n = std::snprintf(buf, sizeof buf, conv == u'x' ? "%llX" : "%llu",
                                    static_cast<unsigned long long>(mag));
        String digits = FromAscii(buf, n);
        if (prec > 0 && static_cast<int>(digits.size()) < prec) digits.insert(0, prec - digits.size(), u'0');
        body = neg ? u"-" + digits : digits;
        break;
      }
      case u'f':
      case u'e':
      case u'g':
      case u'n':
      case u'm': {
        double d = 0;
        if (const auto* p = std::get_if<double>(&value)) {
          d = *p;
        } else {
          FormatError(fmt);
        }
        body = FormatNumber(d, conv == u'm' ? 'n' : static_cast<char>(conv), prec);
        break;
      }
      case u's': {
        const auto* p = std::get_if<String>(&value);
        if (!p) FormatError(fmt);
        body = (prec >= 0 && static_cast<size_t>(prec) < p->size()) ? p->substr(0, prec) : *p;
        break;
      }
      case u'p': {
        const auto* p = std::get_if<const void*>(&value);
        if (!p) FormatError(fmt);
        char buf[32];
        const int n = std::snprintf(buf, sizeof buf, "%016llX",
                                    static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(*p)));
        body = FromAscii(buf, n);
        break;
      }
      default:
        FormatError(fmt);
    }
    out += Pad(std::move(body), width, left);
  }
  return out;
}

String Trim(std::u16string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && s[b] <= u' ') ++b;
  while (e > b && s[e - 1] <= u' ') --e;
  return String(s.substr(b, e - b));
}

String UpperCase(std::u16string_view s) {
  String r(s);
  for (auto& c : r)
    if (c >= u'a' && c <= u'z') c = c - u'a' + u'A';
  return r;
}

String LowerCase(std::u16string_view s) {
  String r(s);
  for (auto& c : r)
    if (c >= u'A' && c <= u'Z') c = c - u'A' + u'a';
  return r;
}

bool SameText(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() && UpperCase(a) == UpperCase(b);
}

String IntToStr(std::int64_t v) {
  const auto s = std::to_string(v);
  return FromAscii(s.data(), s.size());
}

namespace {

bool TryParseInt64(std::u16string_view text, std::int64_t lo, std::int64_t hi, std::int64_t& out) {
  const String t = Trim(text);
  size_t i = 0;
  bool neg = false;
  if (i < t.size() && (t[i] == u'+' || t[i] == u'-')) neg = t[i++] == u'-';
  int base = 10;
  if (i < t.size() && t[i] == u'$') {
    base = 16;
    ++i;
  } else if (i + 1 < t.size() && t[i] == u'0' && (t[i + 1] == u'x' || t[i + 1] == u'X')) {
    base = 16;
    i += 2;
  }
  if (i >= t.size()) return false;
  // Accumulate the magnitude as unsigned so that the lowest value fits.
  std::uint64_t mag = 0;
  const std::uint64_t limit = neg ? static_cast<std::uint64_t>(-(lo + 1)) + 1 : static_cast<std::uint64_t>(hi);
  for (; i < t.size(); ++i) {
    const char16_t c = t[i];
    int d;
    if (c >= u'0' && c <= u'9') d = c - u'0';
    else if (base == 16 && c >= u'a' && c <= u'f') d = c - u'a' + 10;
    else if (base == 16 && c >= u'A' && c <= u'F') d = c - u'A' + 10;
    else return false;
    if (mag > (limit - d) / base) return false;
    mag = mag * base + d;
  }
  out = neg ? static_cast<std::int64_t>(0 - mag) : static_cast<std::int64_t>(mag);
  return true;
}

[[noreturn]] void NotAnInteger(std::u16string_view s) {
  throw EConvertError(u"'" + String(s) + u"' is not a valid integer value");
}

}  // namespace

int StrToInt(std::u16string_view s) {
  std::int64_t v = 0;
  if (!TryParseInt64(s, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max(), v))
    NotAnInteger(s);
  return static_cast<int>(v);
}

std::int64_t StrToInt64(std::u16string_view s) {
  std::int64_t v = 0;
  if (!TryParseInt64(s, std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max(), v))
    NotAnInteger(s);
  return v;
}

String SysErrorMessage(int errorCode) { return Native::ErrnoText(errorCode); }

namespace {

bool IsKind(std::u16string_view path, Native::TFileKind kind) {
  if (path.empty() || path.find(u'\0') != std::u16string_view::npos) return false;
  Native::TFileKind found{};
  return Native::KindOf(String(path), found) && found == kind;
}

}  // namespace

bool FileExists(std::u16string_view path) { return IsKind(path, Native::TFileKind::Regular); }
bool DirectoryExists(std::u16string_view path) { return IsKind(path, Native::TFileKind::Directory); }

}  // namespace Sysutils
}  // namespace System
