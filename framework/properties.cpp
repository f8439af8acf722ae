#include "framework/properties.h"

namespace System::Classes {

using Sysutils::Format;

namespace {

const char16_t* const kValueKindNames[] = {u"Empty",  u"Boolean", u"Integer", u"Cardinal", u"Int64",
                                           u"Single", u"Double",  u"String",  u"Strings"};

template <class V>
const V& Expect(const TValue::Variant& v, const char16_t* wanted) {
  if (const V* p = std::get_if<V>(&v)) return *p;
  throw EInvalidCast(Format(u"Invalid typecast: the value is %s, not %s", kValueKindNames[v.index()], wanted));
}

}  // namespace

namespace Detail {

void RaiseIntegerTooLarge(std::uint64_t v) {
  throw EInvalidCast(Format(u"Invalid typecast: %u is beyond the Int64 range", v));
}

}  // namespace Detail

String PropKindName(TPropKind kind) {
  switch (kind) {
    case TPropKind::Boolean: return u"Boolean";
    case TPropKind::Integer: return u"Integer";
    case TPropKind::Cardinal: return u"Cardinal";
    case TPropKind::Int64: return u"Int64";
    case TPropKind::Single: return u"Single";
    case TPropKind::Double: return u"Double";
    case TPropKind::String: return u"String";
    case TPropKind::Enumeration: return u"Enumeration";
    case TPropKind::Strings: return u"Strings";
  }
  return u"Unknown";
}

String TValue::KindName() const { return kValueKindNames[FValue.index()]; }

bool TValue::AsBoolean() const { return Expect<bool>(FValue, u"Boolean"); }
std::int32_t TValue::AsInteger() const { return Expect<std::int32_t>(FValue, u"Integer"); }
std::uint32_t TValue::AsCardinal() const { return Expect<std::uint32_t>(FValue, u"Cardinal"); }
std::int64_t TValue::AsInt64() const { return Expect<std::int64_t>(FValue, u"Int64"); }
float TValue::AsSingle() const { return Expect<float>(FValue, u"Single"); }
double TValue::AsDouble() const { return Expect<double>(FValue, u"Double"); }
const String& TValue::AsString() const { return Expect<String>(FValue, u"String"); }
const std::vector<String>& TValue::AsStrings() const { return Expect<std::vector<String>>(FValue, u"Strings"); }

TPropertyTable TPropertyTable::Derived(String className) const {
  TPropertyTable table(std::move(className));
  table.FProps = FProps;
  return table;
}

const TPropInfo* TPropertyTable::Find(std::u16string_view name) const {
  for (const TPropInfo& p : FProps) {
    if (Sysutils::SameText(p.Name, name)) return &p;
  }
  return nullptr;
}

void TPropertyTable::Add(TPropInfo info) {
  for (TPropInfo& p : FProps) {
    if (Sysutils::SameText(p.Name, info.Name)) {
      p = std::move(info);
      return;
    }
  }
  FProps.push_back(std::move(info));
}

}  // namespace System::Classes
