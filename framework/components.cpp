#include "framework/components.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <unordered_set>

#include "framework/log.h"
#include "framework/threads.h"

namespace System::Classes {

using Sysutils::Format;
using Sysutils::SameText;

namespace {

bool IsIdentStart(char16_t c) { return c == u'_' || (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c >= 0x80; }
bool IsIdentChar(char16_t c) { return IsIdentStart(c) || (c >= u'0' && c <= u'9'); }

bool IsValidIdent(std::u16string_view s) {
  if (s.empty() || !IsIdentStart(s[0])) return false;
  return std::all_of(s.begin() + 1, s.end(), IsIdentChar);
}

void LogDestructionException(std::u16string_view where) {
  try {
    String message;
    try {
      throw;
    } catch (const Sysutils::Exception& e) {
      message = e.Message();
    } catch (const std::exception& e) {
      message = UTF8ToString(e.what());
    } catch (...) {
      message = u"unknown exception";
    }
    Fmx::Types::Log::d(u"Exception in %s dropped: %s", where, message);
  } catch (...) {
    // Destruction goes on even when the log fails.
  }
}

}  // namespace

namespace {

struct TLiveComponents {
  std::mutex Mutex;
  std::unordered_set<const TComponent*> Set;
};
TLiveComponents& LiveComponents() {
  static auto* live = new TLiveComponents();  // outlives every static component
  return *live;
}

}  // namespace

const TPropertyTable& TComponent::Properties() {
  using T = TComponent;
  static const TPropertyTable table = TPropertyTable::Of<T>(u"TComponent").Str(u"Name", &T::Name, &T::SetName, u"");
  return table;
}

int CountLiveComponents(const std::function<bool(const TComponent&)>& match) {
  TLiveComponents& live = LiveComponents();
  std::lock_guard lock(live.Mutex);
  return static_cast<int>(std::count_if(live.Set.begin(), live.Set.end(), [&](const TComponent* c) { return match(*c); }));
}

TComponent::TComponent(TComponent* AOwner) {
  TLiveComponents& live = LiveComponents();
  std::lock_guard lock(live.Mutex);
  live.Set.insert(this);
  if (!AOwner) return;
  FOwner = AOwner;
  try {
    AOwner->FComponents.push_back(this);
  } catch (...) {
    live.Set.erase(this);  // no destructor runs for a constructor that throws
    throw;
  }
  if (AOwner->FComponentState.Contains(csDesigning)) FComponentState.Include(csDesigning);
}

void* TComponent::operator new(std::size_t size) { return ::operator new(size); }

void TComponent::operator delete(void* memory) { ::operator delete(memory); }

void TComponent::operator delete(TComponent* p, std::destroying_delete_t) {
  // Freed again by a call that its own destruction pumped: the first delete
  // finishes the job.
  if (p->FDeleting) return;
  if (p->FPreparing) {
    // Its owner's destruction is taking it through the step right now (and
    // pumped the call that frees it): the owner's step frees it as soon as
    // its own step is over.
    p->FDeleting = true;
    p->FFreeAfterStep = true;
    return;
  }
  if (TThread::IsMainThread() && Detail::IsRunningBlockingCallOf(*p)) {
    p->Destroying();
    Detail::FreeLater(*p);
    return;
  }
  p->FDeleting = true;
  try {
    p->PrepareDestruction();
  } catch (const EWaitDeadlock&) {
    // A wait of its own (in BeforeDestruction) met the same situation.
    p->FDeleting = false;
    Detail::FreeLater(*p);
    return;
  }
  p->Destroy();
}

void TComponent::Destroy() {
  void* memory = dynamic_cast<void*>(this);
  this->~TComponent();
  ::operator delete(memory);
}

void TComponent::PrepareDestruction() {
  if (FPrepared) return;
  FPrepared = true;
  FPreparing = true;
  Destroying();
  try {
    // Most recent first. A call pumped meanwhile may free or add owned
    // components, so look at the list afresh each time.
    for (;;) {
      auto next = std::find_if(FComponents.rbegin(), FComponents.rend(),
                               [](const TComponent* c) { return !c->FPrepared; });
      if (next == FComponents.rend()) break;
      TComponent* c = *next;
      c->PrepareDestruction();
      if (c->FFreeAfterStep) c->Destroy();
    }
    // One whose free began further up this stack (its step is still waiting
    // for its workers, pumping the call that frees us) has workers that may
    // reach us: wait for them here too.
    WaitForOwnedGroups();
    try {
      BeforeDestruction();
    } catch (const EWaitDeadlock&) {
      throw;
    } catch (...) {
      LogDestructionException(u"BeforeDestruction");
    }
    // A wait may let a pumped call build another group; take each in turn.
    for (std::size_t i = 0; i < FThreadGroups.size(); ++i) {
      try {
        FThreadGroups[i]->WaitFor();
      } catch (const EWaitDeadlock&) {
        throw;
      } catch (...) {
        LogDestructionException(u"a queued call while a component was destroyed");
      }
    }
  } catch (const EWaitDeadlock&) {
    FPrepared = false;
    FPreparing = false;
    throw;
  }
  FPreparing = false;
  TThread::RemoveQueuedEvents(*this);
}

void TComponent::WaitForOwnedGroups() {
  for (std::size_t i = 0; i < FComponents.size(); ++i) {
    TComponent* c = FComponents[i];
    c->WaitForOwnedGroups();
    // A pumped call may free c meanwhile; then its groups are gone with it.
    for (std::size_t g = 0; i < FComponents.size() && FComponents[i] == c && g < c->FThreadGroups.size(); ++g) {
      try {
        c->FThreadGroups[g]->WaitFor();
      } catch (const EWaitDeadlock&) {
        throw;
      } catch (...) {
        LogDestructionException(u"a queued call while a component was destroyed");
      }
    }
  }
}

TComponent::~TComponent() {
  if (!FPrepared) {
    // Not freed through delete (a component on the stack): only the base part
    // is left to take the step.
    try {
      PrepareDestruction();
    } catch (...) {
      Fmx::Types::Log::d(u"A component not freed through delete was destroyed inside a call its worker waits for");
      std::terminate();
    }
  }
  DestroyComponents();
  if (FOwner) {
    auto& siblings = FOwner->FComponents;
    // Absent when the owner's DestroyComponents took us out before deleting.
    auto it = std::find(siblings.begin(), siblings.end(), this);
    if (it != siblings.end()) siblings.erase(it);
  }
  for (TThreadGroup* group : FThreadGroups) {
    std::lock_guard lock(group->FMutex);
    group->FOwner = nullptr;
  }
  // Whatever the destructors handed over on our behalf goes too.
  TThread::RemoveQueuedEvents(*this);
  TLiveComponents& live = LiveComponents();
  std::lock_guard lock(live.Mutex);
  live.Set.erase(this);
}

void TComponent::Destroying() {
  FComponentState.Include(csDestroying);
  for (TComponent* c : FComponents) c->Destroying();
}

void TComponent::DestroyComponents() {
  // Take each one out of the list before deleting it: its destructor may
  // remove a sibling, or add a new one, and must find the list consistent.
  while (!FComponents.empty()) {
    TComponent* c = FComponents.back();
    FComponents.pop_back();
    c->Destroying();
    // One whose delete is already under way (further up this stack) is
    // finished there; it must no longer reach us, who are going.
    if (c->FDeleting) {
      c->FOwner = nullptr;
      continue;
    }
    delete c;
  }
}

void TComponent::Release() {
  if (!FOwner) {
    throw Sysutils::EInvalidOperation(
        Format(u"%s has no owner: hand its unique_ptr to TComponent::Release", ClassName()));
  }
  Detail::FreeLater(*this);
}

void TComponent::Release(std::unique_ptr<TComponent> component) {
  if (component) Detail::FreeLater(*component.release());
}

void TComponent::SetName(const String& value) {
  if (value == FName) return;
  ValidateName(value, this);
  FName = value;
}

void TComponent::ValidateName(const String& name, const TComponent* self) const {
  if (name.empty()) return;
  if (!IsValidIdent(name)) throw EComponentError(Format(u"'%s' is not a valid component name", name));
  if (!FOwner) return;
  for (const TComponent* sibling : FOwner->FComponents) {
    if (sibling != self && SameText(sibling->FName, name)) {
      throw EComponentError(Format(u"A component named %s already exists", name));
    }
  }
}

TComponent* TComponent::Components(int index) const {
  if (index < 0 || index >= ComponentCount()) {
    throw EListError(Format(u"List index out of bounds (%d)", index));
  }
  return FComponents[index];
}

TComponent* TComponent::FindComponent(std::u16string_view name) const {
  if (name.empty()) return nullptr;
  for (TComponent* c : FComponents) {
    if (SameText(c->FName, name)) return c;
  }
  return nullptr;
}

std::unique_ptr<TComponent> TComponent::RemoveComponent(TComponent& c) {
  auto it = std::find(FComponents.begin(), FComponents.end(), &c);
  if (it == FComponents.end()) return nullptr;
  FComponents.erase(it);
  c.FOwner = nullptr;
  return std::unique_ptr<TComponent>(&c);
}

void TComponent::InsertComponent(std::unique_ptr<TComponent> c) {
  if (!c) return;
  for (const TComponent* p = this; p; p = p->FOwner) {
    if (p == c.get()) throw EComponentError(u"A component cannot own itself or one of its owners");
  }
  for (const TComponent* sibling : FComponents) {
    if (!c->FName.empty() && SameText(sibling->FName, c->FName)) {
      throw EComponentError(Format(u"A component named %s already exists", c->FName));
    }
  }
  // A unique_ptr should hold only unowned components; if an owned one comes
  // anyway, its old owner lets go so that only we free it.
  if (c->FOwner) c->FOwner->RemoveComponent(*c).release();
  FComponents.push_back(c.get());
  c->FOwner = this;
  c.release()->SetDesigning(FComponentState.Contains(csDesigning));
}

void TComponent::SetDesigning(bool value) {
  if (value) {
    FComponentState.Include(csDesigning);
  } else {
    FComponentState.Exclude(csDesigning);
  }
  for (TComponent* c : FComponents) c->SetDesigning(value);
}

// ---- generic property access ----

namespace {

[[noreturn]] void RaiseConvert(const TComponent& c, const TPropInfo& p, const String& why) {
  throw EPropertyConvertError(Format(u"Invalid value for property %s.%s: %s", c.ClassName(), p.Name, why));
}

[[noreturn]] void RaiseWrongKind(const TComponent& c, const TPropInfo& p, const TValue& v) {
  RaiseConvert(c, p, Format(u"%s wanted, %s given", PropKindName(p.Kind), v.KindName()));
}

template <class Target>
Target IntegerInRange(const TComponent& c, const TPropInfo& p, std::int64_t v) {
  if (v < std::numeric_limits<Target>::min() || v > static_cast<std::int64_t>(std::numeric_limits<Target>::max())) {
    RaiseConvert(c, p, Format(u"%d is out of range", v));
  }
  return static_cast<Target>(v);
}

// Widens or narrows v to the property's own type, as far as that keeps the
// value; anything else is refused.
TValue Convert(const TComponent& c, const TPropInfo& p, const TValue& v) {
  const TValue::Variant& raw = v.Get();
  std::optional<std::int64_t> integer;
  if (auto* i = std::get_if<std::int32_t>(&raw)) integer = *i;
  if (auto* u = std::get_if<std::uint32_t>(&raw)) integer = *u;
  if (auto* l = std::get_if<std::int64_t>(&raw)) integer = *l;

  switch (p.Kind) {
    case TPropKind::Boolean:
      if (std::holds_alternative<bool>(raw)) return v;
      break;
    case TPropKind::Integer:
      if (integer) return TValue(IntegerInRange<std::int32_t>(c, p, *integer));
      break;
    case TPropKind::Cardinal:
      if (integer) return TValue(IntegerInRange<std::uint32_t>(c, p, *integer));
      break;
    case TPropKind::Int64:
      if (integer) return TValue(*integer);
      break;
    case TPropKind::Single:
    case TPropKind::Double: {
      double d;
      if (integer) {
        d = static_cast<double>(*integer);
      } else if (auto* f = std::get_if<float>(&raw)) {
        d = *f;
      } else if (auto* x = std::get_if<double>(&raw)) {
        d = *x;
      } else {
        break;
      }
      if (p.Kind == TPropKind::Double) return TValue(d);
      if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max()) {
        RaiseConvert(c, p, Format(u"%g is out of range", d));
      }
      return TValue(static_cast<float>(d));
    }
    case TPropKind::String:
      if (std::holds_alternative<String>(raw)) return v;
      break;
    case TPropKind::Enumeration: {
      const auto count = static_cast<std::int64_t>(p.EnumNames.size());
      if (integer) {
        if (*integer < 0 || *integer >= count) RaiseConvert(c, p, Format(u"%d is not one of its ordinals", *integer));
        return TValue(static_cast<std::int32_t>(*integer));
      }
      if (auto* name = std::get_if<String>(&raw)) {
        for (std::int64_t i = 0; i < count; ++i) {
          if (SameText(p.EnumNames[i], *name)) return TValue(static_cast<std::int32_t>(i));
        }
        RaiseConvert(c, p, Format(u"no value is named %s", *name));
      }
      break;
    }
    case TPropKind::Strings:
      if (std::holds_alternative<std::vector<String>>(raw)) return v;
      break;
  }
  RaiseWrongKind(c, p, v);
}

}  // namespace

const TPropInfo& GetPropInfo(const TComponent& c, std::u16string_view name) {
  if (const TPropInfo* p = c.PublishedProperties().Find(name)) return *p;
  throw EPropertyError(Format(u"Property %s does not exist in %s", name, c.ClassName()));
}

TValue GetPropValue(const TComponent& c, std::u16string_view name) { return GetPropInfo(c, name).Get(c); }

void SetPropValue(TComponent& c, std::u16string_view name, const TValue& value) {
  const TPropInfo& p = GetPropInfo(c, name);
  p.Set(c, Convert(c, p, value));
}

String GetEnumProp(const TComponent& c, std::u16string_view name) {
  const TPropInfo& p = GetPropInfo(c, name);
  if (p.Kind != TPropKind::Enumeration) {
    throw EPropertyConvertError(Format(u"Property %s.%s is not an enumeration", c.ClassName(), p.Name));
  }
  const std::int32_t ordinal = p.Get(c).AsInteger();
  if (ordinal < 0 || ordinal >= static_cast<std::int32_t>(p.EnumNames.size())) return Sysutils::IntToStr(ordinal);
  return p.EnumNames[ordinal];
}

bool IsStoredProp(const TComponent& c, std::u16string_view name) {
  const TPropInfo& p = GetPropInfo(c, name);
  return !p.Default || p.Get(c) != *p.Default;
}

// ---- class registry ----

namespace {

struct TPage {
  String Name;
  std::vector<TComponentClass> Classes;
};

struct TRegistry {
  std::mutex Mutex;
  std::vector<TPage> Pages;

  const TComponentClass* FindLocked(std::u16string_view className) const {
    for (const TPage& page : Pages) {
      for (const TComponentClass& cls : page.Classes) {
        if (SameText(cls.ClassName(), className)) return &cls;
      }
    }
    return nullptr;
  }
};

TRegistry& Registry() {
  static TRegistry registry;
  return registry;
}

}  // namespace

void RegisterComponents(const String& page, std::initializer_list<TComponentClass> classes) {
  TRegistry& r = Registry();
  std::lock_guard lock(r.Mutex);
  // All or nothing: check every class, against the registry and against the
  // others of this call, before adding any.
  for (auto it = classes.begin(); it != classes.end(); ++it) {
    const TComponentClass* known = r.FindLocked(it->ClassName());
    if (!known) {
      known = std::find_if(classes.begin(), it, [&](const TComponentClass& c) {
        return SameText(c.ClassName(), it->ClassName());
      });
      if (known == it) known = nullptr;
    }
    if (known && !(*known == *it)) {
      throw EComponentError(Format(u"A class named %s already exists", it->ClassName()));
    }
  }
  for (const TComponentClass& cls : classes) {
    if (r.FindLocked(cls.ClassName())) continue;
    auto it = std::find_if(r.Pages.begin(), r.Pages.end(), [&](const TPage& p) { return p.Name == page; });
    if (it == r.Pages.end()) it = r.Pages.insert(r.Pages.end(), TPage{page, {}});
    it->Classes.push_back(cls);
  }
}

void UnRegisterComponents(std::initializer_list<TComponentClass> classes) {
  TRegistry& r = Registry();
  std::lock_guard lock(r.Mutex);
  for (const TComponentClass& cls : classes) {
    for (TPage& page : r.Pages) std::erase(page.Classes, cls);
  }
  std::erase_if(r.Pages, [](const TPage& p) { return p.Classes.empty(); });
}

std::vector<String> GetPalettePages() {
  TRegistry& r = Registry();
  std::lock_guard lock(r.Mutex);
  std::vector<String> names;
  for (const TPage& page : r.Pages) names.push_back(page.Name);
  return names;
}

std::vector<TComponentClass> GetPaletteClasses(const String& page) {
  TRegistry& r = Registry();
  std::lock_guard lock(r.Mutex);
  for (const TPage& p : r.Pages) {
    if (p.Name == page) return p.Classes;
  }
  return {};
}

std::optional<TComponentClass> GetClass(std::u16string_view className) {
  TRegistry& r = Registry();
  std::lock_guard lock(r.Mutex);
  if (const TComponentClass* cls = r.FindLocked(className)) return *cls;
  return std::nullopt;
}

TComponentClass FindClass(std::u16string_view className) {
  if (auto cls = GetClass(className)) return *cls;
  throw EClassNotFound(Format(u"Class %s not found", className));
}

void ClearClassRegistry() {
  TRegistry& r = Registry();
  std::lock_guard lock(r.Mutex);
  r.Pages.clear();
}

}  // namespace System::Classes
