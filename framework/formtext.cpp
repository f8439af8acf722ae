#include "framework/formtext.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <optional>
#include <system_error>
#include <vector>

namespace System::Classes {

using Sysutils::Format;
using Sysutils::SameText;

namespace {

// ---- writing ----

void AppendQuoted(std::string& out, const String& s) {
  if (s.empty()) {
    out += "''";
    return;
  }
  bool open = false;
  for (char16_t c : s) {
    if (c >= 0x20 && c <= 0x7E) {
      if (!open) out += '\'';
      open = true;
      out += static_cast<char>(c);
      if (c == u'\'') out += '\'';
    } else {
      if (open) out += '\'';
      open = false;
      out += '#';
      out += std::to_string(static_cast<unsigned>(c));
    }
  }
  if (open) out += '\'';
}

template <class F>
std::string FloatText(F v) {
  if (std::isnan(v)) return "NAN";
  if (std::isinf(v)) return v < 0 ? "-INF" : "INF";
  char buf[64];
  // Shortest text that reads back as the same value of the property's type.
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  std::string s(buf, ec == std::errc() ? end : buf);
  if (s.find_first_of(".e") == std::string::npos) s += ".0";
  return s;
}

void WriteValue(std::string& out, const TPropInfo& p, const TValue& v, const std::string& indent) {
  switch (p.Kind) {
    case TPropKind::Boolean: out += v.AsBoolean() ? "True" : "False"; break;
    case TPropKind::Integer: out += std::to_string(v.AsInteger()); break;
    case TPropKind::Cardinal: out += std::to_string(v.AsCardinal()); break;
    case TPropKind::Int64: out += std::to_string(v.AsInt64()); break;
    case TPropKind::Single: out += FloatText(v.AsSingle()); break;
    case TPropKind::Double: out += FloatText(v.AsDouble()); break;
    case TPropKind::String: AppendQuoted(out, v.AsString()); break;
    case TPropKind::Enumeration: {
      const std::int32_t ordinal = v.AsInteger();
      // An ordinal without a name cannot be written as an identifier.
      if (ordinal < 0 || ordinal >= static_cast<std::int32_t>(p.EnumNames.size())) {
        out += std::to_string(ordinal);
      } else {
        out += UTF8Encode(p.EnumNames[ordinal]);
      }
      break;
    }
    case TPropKind::Strings: {
      out += '(';
      for (const String& line : v.AsStrings()) {
        out += '\n';
        out += indent + "  ";
        AppendQuoted(out, line);
      }
      out += ')';
      break;
    }
  }
}

// -0.0 equals a default of 0.0 but would come back as 0.0.
bool IsDefault(const TPropInfo& p, const TValue& v) {
  if (!p.Default || v != *p.Default) return false;
  if (p.Kind == TPropKind::Single || p.Kind == TPropKind::Double) {
    const auto sign = [&](const TValue& x) {
      return p.Kind == TPropKind::Single ? std::signbit(x.AsSingle()) : std::signbit(x.AsDouble());
    };
    return sign(v) == sign(*p.Default);
  }
  return true;
}

void WriteObject(std::string& out, const TComponent& c, const std::string& indent) {
  out += indent + "object ";
  if (!c.Name().empty()) out += UTF8Encode(c.Name()) + ": ";
  out += UTF8Encode(c.ClassName()) + '\n';
  const std::string inner = indent + "  ";
  for (const TPropInfo& p : c.PublishedProperties()) {
    if (SameText(p.Name, u"Name")) continue;  // the header carries it
    const TValue v = p.Get(c);
    if (IsDefault(p, v)) continue;
    out += inner + UTF8Encode(p.Name) + (p.Kind == TPropKind::Strings ? ".Strings" : "") + " = ";
    WriteValue(out, p, v, inner);
    out += '\n';
  }
  for (int i = 0; i < c.ComponentCount(); ++i) WriteObject(out, *c.Components(i), inner);
  out += indent + "end\n";
}

// ---- reading ----

enum class TToken { End, Symbol, Ident, Integer, Float, String };

class TParser {
 public:
  explicit TParser(std::string_view text) : FText(text) {
    // Editors on some systems start a UTF-8 file with a byte order mark.
    if (FText.starts_with("\xEF\xBB\xBF")) FPos = 3;
    Next();
  }

  TToken Kind() const { return FKind; }
  const std::string& Text() const { return FToken; }
  int Line() const { return FTokenLine; }
  bool IsSymbol(char c) const { return FKind == TToken::Symbol && FToken[0] == c; }
  bool IsIdent(std::string_view word) const {
    return FKind == TToken::Ident && SameText(UTF8ToString(FToken), UTF8ToString(word));
  }
  const String& StringValue() const { return FString; }

  [[noreturn]] void Error(const String& what) const { throw EParserError(Format(u"Line %d: %s", FTokenLine, what)); }

  std::string TakeIdent(std::u16string_view what) {
    if (FKind != TToken::Ident) Error(Format(u"%s expected but %s found", what, Describe()));
    std::string s = FToken;
    Next();
    return s;
  }
  void TakeSymbol(char c) {
    if (!IsSymbol(c)) Error(Format(u"'%s' expected but %s found", String(1, char16_t(c)), Describe()));
    Next();
  }

  String Describe() const {
    switch (FKind) {
      case TToken::End: return u"end of text";
      case TToken::String: return u"a string";
      default: return Format(u"'%s'", UTF8ToString(FToken));
    }
  }

  void Next() {
    SkipBlanks();
    FTokenLine = FLine;
    FToken.clear();
    if (FPos >= FText.size()) {
      FKind = TToken::End;
      return;
    }
    const char c = FText[FPos];
    if (c == '\'' || c == '#') return ReadString();
    if (IsIdentStart(c)) {
      while (FPos < FText.size() && (IsIdentStart(FText[FPos]) || IsDigit(FText[FPos]) || FText[FPos] == '.')) {
        FToken += FText[FPos++];
      }
      FKind = TToken::Ident;
      return;
    }
    if (IsDigit(c) || ((c == '-' || c == '+') && FPos + 1 < FText.size() && IsDigit(FText[FPos + 1]))) {
      return ReadNumber();
    }
    if (c == '-' && FText.substr(FPos, 4) == "-INF") {
      FPos += 4;
      FToken = "-INF";
      FKind = TToken::Ident;
      return;
    }
    FToken = std::string(1, c);
    ++FPos;
    FKind = TToken::Symbol;
  }

 private:
  static bool IsDigit(char c) { return c >= '0' && c <= '9'; }
  // Names may be UTF-8 beyond ASCII, as component names may.
  static bool IsIdentStart(char c) {
    return c == '_' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || static_cast<unsigned char>(c) >= 0x80;
  }

  void SkipBlanks() {
    while (FPos < FText.size() && static_cast<unsigned char>(FText[FPos]) <= ' ') {
      if (FText[FPos] == '\n') ++FLine;
      ++FPos;
    }
  }

  void ReadNumber() {
    FKind = TToken::Integer;
    if (FText[FPos] == '-' || FText[FPos] == '+') FToken += FText[FPos++];
    while (FPos < FText.size()) {
      const char c = FText[FPos];
      if (c == '.' || c == 'e' || c == 'E') {
        FKind = TToken::Float;
      } else if (!IsDigit(c) && !((c == '-' || c == '+') && (FToken.back() == 'e' || FToken.back() == 'E'))) {
        break;
      }
      FToken += c;
      ++FPos;
    }
  }

  // 'quoted' parts and #nnn characters, joined by + across lines.
  void ReadString() {
    FKind = TToken::String;
    FString.clear();
    for (;;) {
      if (FPos < FText.size() && FText[FPos] == '\'') {
        ++FPos;
        for (;;) {
          if (FPos >= FText.size() || FText[FPos] == '\n') Error(u"Unterminated string");
          const char c = FText[FPos++];
          if (c == '\'') {
            if (FPos < FText.size() && FText[FPos] == '\'') {
              ++FPos;
            } else {
              break;
            }
          }
          if (static_cast<unsigned char>(c) >= 0x80) Error(u"Only ASCII is allowed inside quotes; write #nnn");
          FString += static_cast<char16_t>(c);
        }
      } else if (FPos < FText.size() && FText[FPos] == '#') {
        ++FPos;
        unsigned code = 0;
        const std::size_t start = FPos;
        while (FPos < FText.size() && IsDigit(FText[FPos]) && FPos - start < 6) code = code * 10 + (FText[FPos++] - '0');
        if (FPos == start || code > 0xFFFF) Error(u"Invalid character code after '#'");
        FString += static_cast<char16_t>(code);
      } else {
        // A + continues the string on the next line.
        const std::size_t save = FPos;
        const int saveLine = FLine;
        SkipBlanks();
        if (FPos < FText.size() && FText[FPos] == '+') {
          ++FPos;
          SkipBlanks();
          if (FPos < FText.size() && (FText[FPos] == '\'' || FText[FPos] == '#')) continue;
          Error(u"String expected after '+'");
        }
        FPos = save;
        FLine = saveLine;
        return;
      }
    }
  }

  std::string_view FText;
  std::size_t FPos = 0;
  int FLine = 1;
  int FTokenLine = 1;
  TToken FKind = TToken::End;
  std::string FToken;
  String FString;
};

template <class N>
std::optional<N> ParseNumber(const std::string& s) {
  N v{};
  const char* first = s.data() + (s[0] == '+' ? 1 : 0);
  const auto [end, ec] = std::from_chars(first, s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return v;
}

// The value at the parser for property p, in a kind SetPropValue converts.
TValue ReadValue(TParser& in, const TPropInfo& p, const String& owner) {
  const String where = Format(u"%s.%s", owner, p.Name);
  TValue v;
  switch (in.Kind()) {
    case TToken::Integer: {
      const auto i = ParseNumber<std::int64_t>(in.Text());
      if (!i) in.Error(Format(u"%s: %s is not a valid integer", where, UTF8ToString(in.Text())));
      if (p.Kind == TPropKind::Cardinal || p.Kind == TPropKind::Integer || p.Kind == TPropKind::Int64 ||
          p.Kind == TPropKind::Single || p.Kind == TPropKind::Double || p.Kind == TPropKind::Enumeration) {
        v = TValue(*i);
      }
      break;
    }
    case TToken::Float:
      if (p.Kind == TPropKind::Single || p.Kind == TPropKind::Double) {
        const auto d = ParseNumber<double>(in.Text());
        if (!d) in.Error(Format(u"%s: %s is not a valid number", where, UTF8ToString(in.Text())));
        v = TValue(*d);
      }
      break;
    case TToken::Ident: {
      const String word = UTF8ToString(in.Text());
      if (p.Kind == TPropKind::Boolean && (SameText(word, u"True") || SameText(word, u"False"))) {
        v = TValue(SameText(word, u"True"));
      } else if (p.Kind == TPropKind::Enumeration) {
        v = TValue(word);
      } else if (p.Kind == TPropKind::Single || p.Kind == TPropKind::Double) {
        if (SameText(word, u"NAN")) v = TValue(std::nan(""));
        if (SameText(word, u"INF")) v = TValue(HUGE_VAL);
        if (SameText(word, u"-INF")) v = TValue(-HUGE_VAL);
      }
      break;
    }
    case TToken::String:
      if (p.Kind == TPropKind::String) v = TValue(in.StringValue());
      break;
    case TToken::Symbol:
      if (in.IsSymbol('(') && p.Kind == TPropKind::Strings) {
        in.Next();
        std::vector<String> lines;
        while (in.Kind() == TToken::String) {
          lines.push_back(in.StringValue());
          in.Next();
        }
        if (!in.IsSymbol(')')) in.Error(Format(u"%s: string or ')' expected but %s found", where, in.Describe()));
        v = TValue(std::move(lines));
      }
      break;
    case TToken::End:
      break;
  }
  if (v.IsEmpty()) in.Error(Format(u"%s: %s expected but %s found", where, PropKindName(p.Kind), in.Describe()));
  in.Next();
  return v;
}

// Each level of nesting takes stack and a component: a text cannot ask for
// more than any form needs.
constexpr int kMaxNesting = 256;

void ReadObject(TParser& in, TComponent& c, int depth);

void ReadProperty(TParser& in, TComponent& c) {
  const int line = in.Line();
  std::string name = in.TakeIdent(u"Property name");
  bool listSyntax = false;
  if (name.size() > 8 && SameText(UTF8ToString(name.substr(name.size() - 8)), u".Strings")) {
    name.resize(name.size() - 8);
    listSyntax = true;
  }
  const String propName = UTF8ToString(name);
  const TPropInfo* p = c.PublishedProperties().Find(propName);
  if (!p || SameText(propName, u"Name")) {
    in.Error(Format(u"Property %s does not exist in %s", propName, c.ClassName()));
  }
  if (listSyntax != (p->Kind == TPropKind::Strings)) {
    in.Error(listSyntax ? Format(u"Property %s.%s is not a string list", c.ClassName(), p->Name)
                        : Format(u"Property %s.%s is a string list: write %s.Strings = (...)", c.ClassName(),
                                 p->Name, p->Name));
  }
  in.TakeSymbol('=');
  const TValue v = ReadValue(in, *p, c.ClassName());
  try {
    SetPropValue(c, p->Name, v);
  } catch (const Sysutils::Exception& e) {
    throw EParserError(Format(u"Line %d: error reading %s.%s: %s", line, c.ClassName(), p->Name, e.Message()));
  }
}

// After "object": "Name: TClass" or "TClass".
std::pair<String, String> ReadHeader(TParser& in) {
  String name = UTF8ToString(in.TakeIdent(u"Component name"));
  if (!in.IsSymbol(':')) return {String(), name};
  in.Next();
  return {name, UTF8ToString(in.TakeIdent(u"Class name"))};
}

void SetHeaderName(TComponent& c, const String& name, int line) {
  try {
    c.SetName(name);
  } catch (const Sysutils::Exception& e) {
    throw EParserError(Format(u"Line %d: %s", line, e.Message()));
  }
}

void ReadChild(TParser& in, TComponent& owner, int depth) {
  const int line = in.Line();
  if (depth >= kMaxNesting) in.Error(Format(u"objects are nested more than %d deep", kMaxNesting));
  in.Next();  // "object"
  const auto [name, className] = ReadHeader(in);
  TComponent* child = name.empty() ? nullptr : owner.FindComponent(name);
  if (child && !SameText(child->ClassName(), className)) {
    in.Error(Format(u"%s is a %s, not a %s", name, child->ClassName(), className));
  }
  if (!child) {
    const auto cls = GetClass(className);
    if (!cls) throw EParserError(Format(u"Line %d: class %s is not registered", line, className));
    child = &cls->Create(owner);
    SetHeaderName(*child, name, line);
  }
  ReadObject(in, *child, depth + 1);
}

// The body of an object up to and including its "end".
void ReadObject(TParser& in, TComponent& c, int depth) {
  for (;;) {
    if (in.IsIdent("end")) {
      in.Next();
      return;
    }
    if (in.IsIdent("object")) {
      ReadChild(in, c, depth);
    } else if (in.Kind() == TToken::Ident) {
      ReadProperty(in, c);
    } else {
      in.Error(Format(u"Property, object or 'end' expected but %s found", in.Describe()));
    }
  }
}

void ExpectObject(TParser& in) {
  if (!in.IsIdent("object")) in.Error(Format(u"'object' expected but %s found", in.Describe()));
  in.Next();
}

void ExpectEnd(TParser& in) {
  if (in.Kind() != TToken::End) in.Error(Format(u"End of text expected but %s found", in.Describe()));
}

}  // namespace

std::string WriteComponentText(const TComponent& root) {
  std::string out;
  WriteObject(out, root, "");
  return out;
}

void ReadComponentText(std::string_view text, TComponent& root) {
  TParser in(text);
  ExpectObject(in);
  const int line = in.Line();
  const auto [name, className] = ReadHeader(in);
  if (!SameText(className, root.ClassName())) {
    throw EParserError(Format(u"Line %d: the text holds a %s, not a %s", line, className, root.ClassName()));
  }
  if (!name.empty()) SetHeaderName(root, name, line);
  ReadObject(in, root, 0);
  ExpectEnd(in);
}

std::unique_ptr<TComponent> CreateComponentFromText(std::string_view text) {
  TParser in(text);
  ExpectObject(in);
  const int line = in.Line();
  const auto [name, className] = ReadHeader(in);
  const auto cls = GetClass(className);
  if (!cls) throw EParserError(Format(u"Line %d: class %s is not registered", line, className));
  std::unique_ptr<TComponent> root = cls->Create();
  if (!name.empty()) SetHeaderName(*root, name, line);
  ReadObject(in, *root, 0);
  ExpectEnd(in);
  return root;
}

}  // namespace System::Classes
