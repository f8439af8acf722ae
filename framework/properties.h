// Published properties: a per-class table of names, kinds, accessors and
// declared defaults, in streaming order, base class entries first. It is the
// one list that streaming and the designer read.
//
// A component declares its table at the top of its class, one line per
// property:
//
//   static const TPropertyTable& Properties() {
//     using T = TFMXFoo;
//     static const TPropertyTable table = TPropertyTable::Of<T>(u"TFMXFoo", TComponent::Properties())
//         .Bool(u"Active", &T::Active, &T::SetActive, NoDefault)
//         .Str(u"ModelPath", &T::ModelPath, &T::SetModelPath, u"");
//     return table;
//   }
//   const TPropertyTable& PublishedProperties() const override { return Properties(); }
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <concepts>
#include <cstdint>
#include <limits>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "framework/exceptions.h"
#include "framework/stringlist.h"
#include "framework/strings.h"

namespace System::Classes {

class TComponent;

// Unknown property names.
class EPropertyError : public Sysutils::Exception { public: using Exception::Exception; };
// Values that do not fit the property they are given to.
class EPropertyConvertError : public Sysutils::Exception { public: using Exception::Exception; };

enum class TPropKind { Boolean, Integer, Cardinal, Int64, Single, Double, String, Enumeration, Strings };

String PropKindName(TPropKind kind);

class EInvalidCast : public Sysutils::Exception { public: using Exception::Exception; };

namespace Detail {
template <class T>
concept TCharacter = std::same_as<T, char> || std::same_as<T, wchar_t> || std::same_as<T, char8_t> ||
                     std::same_as<T, char16_t> || std::same_as<T, char32_t>;
template <class T>
concept TInteger = std::integral<T> && !std::same_as<T, bool> && !TCharacter<T>;
[[noreturn]] void RaiseIntegerTooLarge(std::uint64_t v);
}  // namespace Detail

// A property value as generic code sees it. Enumerations travel as their
// Integer ordinal; a TStrings property travels as a copy of its lines.
class TValue {
 public:
  using Variant = std::variant<std::monostate, bool, std::int32_t, std::uint32_t, std::int64_t, float,
                               double, String, std::vector<String>>;

  TValue() = default;
  TValue(bool v) : FValue(v) {}
  // Every integer type: signed ones of up to 32 bits are Integer, unsigned
  // ones Cardinal, wider ones Int64 (an unsigned value above the Int64 range
  // raises EInvalidCast). Characters are not integers here.
  TValue(std::int32_t v) : FValue(v) {}
  TValue(std::uint32_t v) : FValue(v) {}
  TValue(std::int64_t v) : FValue(v) {}
  template <Detail::TInteger I>
  TValue(I v) : FValue(static_cast<TIntegerSlot<I>>(CheckedInteger(v))) {}
  TValue(float v) : FValue(v) {}
  TValue(double v) : FValue(v) {}
  TValue(String v) : FValue(std::move(v)) {}
  TValue(const char16_t* v) : FValue(String(v)) {}
  // Narrow text is UTF-8 (a literal such as "false" is text, never a bool).
  TValue(const char* v) : FValue(UTF8ToString(v)) {}
  TValue(std::string_view v) : FValue(UTF8ToString(v)) {}
  TValue(const std::string& v) : FValue(UTF8ToString(std::string_view(v))) {}
  TValue(std::vector<String> lines) : FValue(std::move(lines)) {}
  TValue(const TStrings& lines) : FValue(lines.ToVector()) {}

  bool IsEmpty() const { return FValue.index() == 0; }
  // "Empty", "Boolean", "Integer", "Cardinal", "Int64", "Single", "Double",
  // "String" or "Strings".
  String KindName() const;
  const Variant& Get() const { return FValue; }

  // Exact type, or raise EInvalidCast naming both kinds.
  bool AsBoolean() const;
  std::int32_t AsInteger() const;
  std::uint32_t AsCardinal() const;
  std::int64_t AsInt64() const;
  float AsSingle() const;
  double AsDouble() const;
  const String& AsString() const;
  const std::vector<String>& AsStrings() const;

  bool operator==(const TValue&) const = default;

 private:
  template <class I>
  using TIntegerSlot = std::conditional_t<(sizeof(I) <= sizeof(std::int32_t)),
                                          std::conditional_t<std::is_signed_v<I>, std::int32_t, std::uint32_t>,
                                          std::int64_t>;
  template <class I>
  static I CheckedInteger(I v) {
    if constexpr (std::is_unsigned_v<I> && sizeof(I) > sizeof(std::int32_t)) {
      if (v > static_cast<I>(std::numeric_limits<std::int64_t>::max())) Detail::RaiseIntegerTooLarge(v);
    }
    return v;
  }

  Variant FValue;
};

inline constexpr std::nullopt_t NoDefault = std::nullopt;

struct TPropInfo {
  String Name;
  TPropKind Kind = TPropKind::Integer;
  std::vector<String> EnumNames;  // ordinal i is named EnumNames[i]
  std::optional<TValue> Default;  // none: always stored
  std::function<TValue(const TComponent&)> Get;
  std::function<void(TComponent&, const TValue&)> Set;  // receives a value already of Kind's type
};

template <class T>
class TPropertyTableBuilder;

class TPropertyTable {
 public:
  // Starts the table of class T with a copy of its base class's entries.
  template <class T>
  static TPropertyTableBuilder<T> Of(String className, const TPropertyTable& base);
  template <class T>
  static TPropertyTableBuilder<T> Of(String className);

  explicit TPropertyTable(String className) : FClassName(std::move(className)) {}
  // A copy of this table's entries under another class name.
  TPropertyTable Derived(String className) const;

  const String& ClassName() const { return FClassName; }
  int Count() const { return static_cast<int>(FProps.size()); }
  const TPropInfo& operator[](int index) const { return FProps.at(index); }
  auto begin() const { return FProps.begin(); }
  auto end() const { return FProps.end(); }
  // Names compare ASCII case-insensitively; null when absent.
  const TPropInfo* Find(std::u16string_view name) const;

  // A name the base already has is redeclared: the entry keeps the base's
  // position and takes the new accessors and default.
  void Add(TPropInfo info);

 private:
  String FClassName;
  std::vector<TPropInfo> FProps;
};

namespace Detail {

template <class G, class T>
using TGetterResult = std::remove_cvref_t<std::invoke_result_t<G, const T&>>;

template <class T, class G>
decltype(auto) Read(G getter, const TComponent& c) {
  return std::invoke(getter, static_cast<const T&>(c));
}

}  // namespace Detail

template <class T>
class TPropertyTableBuilder {
 public:
  TPropertyTableBuilder(String className, const TPropertyTable* base)
      : FTable(base ? base->Derived(std::move(className)) : TPropertyTable(std::move(className))) {}

  template <class G, class S>
  TPropertyTableBuilder& Bool(std::u16string_view name, G get, S set, std::optional<bool> def) {
    return Scalar<bool>(name, TPropKind::Boolean, get, set, def);
  }
  template <class G, class S>
  TPropertyTableBuilder& Int(std::u16string_view name, G get, S set, std::optional<std::int32_t> def) {
    return Scalar<std::int32_t>(name, TPropKind::Integer, get, set, def);
  }
  template <class G, class S>
  TPropertyTableBuilder& Cardinal(std::u16string_view name, G get, S set, std::optional<std::uint32_t> def) {
    return Scalar<std::uint32_t>(name, TPropKind::Cardinal, get, set, def);
  }
  template <class G, class S>
  TPropertyTableBuilder& Int64(std::u16string_view name, G get, S set, std::optional<std::int64_t> def) {
    return Scalar<std::int64_t>(name, TPropKind::Int64, get, set, def);
  }
  template <class G, class S>
  TPropertyTableBuilder& Single(std::u16string_view name, G get, S set, std::optional<float> def) {
    return Scalar<float>(name, TPropKind::Single, get, set, def);
  }
  template <class G, class S>
  TPropertyTableBuilder& Double(std::u16string_view name, G get, S set, std::optional<double> def) {
    return Scalar<double>(name, TPropKind::Double, get, set, def);
  }
  template <class G, class S>
  TPropertyTableBuilder& Str(std::u16string_view name, G get, S set, std::optional<String> def) {
    return Scalar<String>(name, TPropKind::String, get, set, def);
  }

  // The getter returns an enumeration (or integer) whose ordinals are the
  // positions in names.
  template <class G, class S>
  TPropertyTableBuilder& Enum(std::u16string_view name, G get, S set, std::vector<String> names,
                              std::optional<Detail::TGetterResult<G, T>> def) {
    using E = Detail::TGetterResult<G, T>;
    TPropInfo info;
    info.Name = String(name);
    info.Kind = TPropKind::Enumeration;
    info.EnumNames = std::move(names);
    if (def) info.Default.emplace(static_cast<std::int32_t>(*def));
    info.Get = [get](const TComponent& c) {
      return TValue(static_cast<std::int32_t>(Detail::Read<T>(get, c)));
    };
    info.Set = [set](TComponent& c, const TValue& v) {
      std::invoke(set, static_cast<T&>(c), static_cast<E>(v.AsInteger()));
    };
    FTable.Add(std::move(info));
    return *this;
  }

  // A TStrings property: the getter returns the list (reference or pointer),
  // the setter takes a TStrings (reference or pointer) and copies its lines.
  template <class G, class S>
  TPropertyTableBuilder& Strings(std::u16string_view name, G get, S set,
                                 std::optional<std::vector<String>> def = NoDefault) {
    TPropInfo info;
    info.Name = String(name);
    info.Kind = TPropKind::Strings;
    if (def) info.Default.emplace(std::move(*def));
    info.Get = [get](const TComponent& c) {
      decltype(auto) list = Detail::Read<T>(get, c);
      if constexpr (std::is_pointer_v<std::remove_cvref_t<decltype(list)>>) {
        return list ? TValue(*list) : TValue(std::vector<String>());
      } else {
        return TValue(list);
      }
    };
    info.Set = [set](TComponent& c, const TValue& v) {
      TStringList list(v.AsStrings());
      if constexpr (std::is_invocable_v<S, T&, const TStringList&>) {
        std::invoke(set, static_cast<T&>(c), list);
      } else {
        std::invoke(set, static_cast<T&>(c), &list);
      }
    };
    FTable.Add(std::move(info));
    return *this;
  }

  operator TPropertyTable() const { return FTable; }

 private:
  // def by reference and the default built in place: moving an empty
  // optional<String>, or a TValue, makes GCC 12 with sanitizers report reads
  // of values that are not there.
  template <class V, class G, class S>
  TPropertyTableBuilder& Scalar(std::u16string_view name, TPropKind kind, G get, S set,
                                const std::optional<V>& def) {
    TPropInfo info;
    info.Name = String(name);
    info.Kind = kind;
    if (def) info.Default.emplace(*def);
    info.Get = [get](const TComponent& c) { return TValue(static_cast<V>(Detail::Read<T>(get, c))); };
    info.Set = [set](TComponent& c, const TValue& v) {
      std::invoke(set, static_cast<T&>(c), std::get<V>(v.Get()));
    };
    FTable.Add(std::move(info));
    return *this;
  }

  TPropertyTable FTable;
};

template <class T>
TPropertyTableBuilder<T> TPropertyTable::Of(String className, const TPropertyTable& base) {
  return TPropertyTableBuilder<T>(std::move(className), &base);
}

template <class T>
TPropertyTableBuilder<T> TPropertyTable::Of(String className) {
  return TPropertyTableBuilder<T>(std::move(className), nullptr);
}

}  // namespace System::Classes
