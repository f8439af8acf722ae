// TComponent: the owner tree, the design-time state and the published
// properties; and the process-wide registry of component classes.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "framework/exceptions.h"
#include "framework/properties.h"
#include "framework/strings.h"

namespace System::Classes {

// Bad or clashing component names, clashing class registrations.
class EComponentError : public Sysutils::Exception { public: using Exception::Exception; };
class EClassNotFound : public Sysutils::Exception { public: using Exception::Exception; };

enum TComponentStateItem : std::uint8_t {
  csLoading,
  csReading,
  csWriting,
  csDestroying,
  csDesigning,
  csAncestor,
  csUpdating,
  csFixups,
  csFreeNotification,
  csInline,
  csDesignInstance,
};

class TComponentState {
 public:
  constexpr TComponentState() = default;
  constexpr TComponentState(std::initializer_list<TComponentStateItem> items) {
    for (TComponentStateItem item : items) Include(item);
  }
  constexpr bool Contains(TComponentStateItem item) const { return (FBits & Bit(item)) != 0; }
  constexpr void Include(TComponentStateItem item) { FBits |= Bit(item); }
  constexpr void Exclude(TComponentStateItem item) { FBits &= static_cast<std::uint16_t>(~Bit(item)); }
  constexpr bool Empty() const { return FBits == 0; }
  constexpr bool operator==(const TComponentState&) const = default;

 private:
  static constexpr std::uint16_t Bit(TComponentStateItem item) { return static_cast<std::uint16_t>(1u << item); }
  std::uint16_t FBits = 0;
};

class TThreadGroup;

// Ownership: a component created with an owner belongs to it, and the owner's
// destructor is the one place that frees it (create such components with
// MakeOwned, never as members or on the stack). A component without an owner
// belongs to whoever made it, normally a std::unique_ptr. Destroying a
// component takes it out of its owner's list first.
//
// Destruction: delete first runs a step while the whole object is still
// alive: csDestroying is set on it and everything it owns, every owned
// component takes this step (most recent first), then BeforeDestruction runs,
// the TThreadGroups built with the component are waited for (pumping on the
// main thread) and its pending handed-over calls are dropped. Only then do
// the destructors run, the component's own first, then the owned components
// are freed. So no worker, event or owned component reaches a destroyed
// member. Freeing a component inside a call that one of its workers waits for
// in Synchronize cannot wait for that worker: such a free is carried out once
// the main thread next pumps at its outermost level, as Release does.
class TComponent {
 public:
  // Defined in the framework library: an inline one would give every package
  // its own copy of the table, shared through the loader and destroyed when
  // the first package that built it is unloaded.
  static const TPropertyTable& Properties();
  virtual const TPropertyTable& PublishedProperties() const { return Properties(); }

  // A designing owner makes the new component designing before any derived
  // constructor runs, so constructors may test csDesigning.
  explicit TComponent(TComponent* AOwner);
  virtual ~TComponent();
  // delete runs the before-destruction step. new and the plain delete are its
  // counterparts; the plain one only frees a component whose constructor threw.
  static void* operator new(std::size_t size);
  static void operator delete(void* memory);
  static void operator delete(TComponent* p, std::destroying_delete_t);
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  const String& ClassName() const { return PublishedProperties().ClassName(); }

  TComponent* Owner() const { return FOwner; }
  const String& Name() const { return FName; }
  // An identifier (letters, digits, '_', not starting with a digit) or empty;
  // unique among the owner's components, ignoring ASCII case.
  void SetName(const String& value);

  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  TComponent* Components(int index) const;  // EListError outside 0..ComponentCount()-1
  // Among the owned components, ignoring ASCII case; null when absent or empty.
  TComponent* FindComponent(std::u16string_view name) const;

  // Hands an owned component to the caller, who then owns it. Null when c is
  // not owned by this component.
  std::unique_ptr<TComponent> RemoveComponent(TComponent& c);
  // Takes ownership of a component that has no owner; the name must be free.
  void InsertComponent(std::unique_ptr<TComponent> c);
  // Frees every owned component, the most recently added first. Runs in the
  // destructor; a derived destructor calls it earlier when its owned
  // components must go before its own fields.
  void DestroyComponents();

  TComponentState ComponentState() const { return FComponentState; }
  // Sets or clears csDesigning here and on every owned component.
  void SetDesigning(bool value);

  // Frees this owned component the next time the main thread pumps
  // (CheckSynchronize or TThreadGroup::WaitFor) outside any handed-over call,
  // so that an event handler may free the component that raised it. Its owner
  // still frees it if the owner goes first. A component without owner raises
  // EInvalidOperation: hand its std::unique_ptr to the static Release.
  void Release();
  static void Release(std::unique_ptr<TComponent> component);

 protected:
  // The last moment at which the whole component is alive: stop here the
  // workers that are not in a TThreadGroup built with this component, and
  // anything else that may reach it. Owned components have taken their own
  // step already but are not freed yet.
  virtual void BeforeDestruction() {}

 private:
  friend class TThreadGroup;

  void ValidateName(const String& name, const TComponent* self) const;
  void Destroying();
  void PrepareDestruction();
  void WaitForOwnedGroups();
  void Destroy();  // the destructors and the memory, after the step

  TComponent* FOwner = nullptr;
  String FName;
  std::vector<TComponent*> FComponents;
  std::vector<TThreadGroup*> FThreadGroups;  // built with this component
  TComponentState FComponentState;
  bool FPrepared = false;       // the before-destruction step has begun
  bool FPreparing = false;      // ... and is not over yet
  bool FDeleting = false;       // a delete of this component is under way
  bool FFreeAfterStep = false;  // deleted during its owner's step
};

// Creates a component that owner owns and frees.
template <class T, class... A>
T* MakeOwned(TComponent& owner, A&&... args) {
  // If T's constructor throws, the base destructor has already taken the
  // half-built component out of owner's list.
  return new T(&owner, std::forward<A>(args)...);
}

// How many components now alive match; a package loader asks before it
// takes their code away.
int CountLiveComponents(const std::function<bool(const TComponent&)>& match);

// Generic property access by name (ASCII case-insensitive). Unknown names
// raise EPropertyError; values of the wrong kind or out of range raise
// EPropertyConvertError. An enumeration takes its ordinal or its value name.
TValue GetPropValue(const TComponent& c, std::u16string_view name);
void SetPropValue(TComponent& c, std::u16string_view name, const TValue& value);
// The value name of an enumeration property.
String GetEnumProp(const TComponent& c, std::u16string_view name);
// True when the property has no declared default or its value differs from it.
bool IsStoredProp(const TComponent& c, std::u16string_view name);
const TPropInfo& GetPropInfo(const TComponent& c, std::u16string_view name);

// A component class as the registry and streaming see it.
class TComponentClass {
 public:
  template <class T>
  static TComponentClass Of() {
    return TComponentClass(&T::Properties, [](TComponent* owner) -> TComponent* { return new T(owner); });
  }

  const String& ClassName() const { return FProperties().ClassName(); }
  const TPropertyTable& Properties() const { return FProperties(); }
  // An instance owned by owner.
  TComponent& Create(TComponent& owner) const { return *FCreate(&owner); }
  // An instance without owner.
  std::unique_ptr<TComponent> Create() const { return std::unique_ptr<TComponent>(FCreate(nullptr)); }

  bool operator==(const TComponentClass& other) const {
    return FProperties == other.FProperties && FCreate == other.FCreate;
  }

 private:
  using TPropertiesFn = const TPropertyTable& (*)();
  using TCreateFn = TComponent* (*)(TComponent* owner);
  TComponentClass(TPropertiesFn properties, TCreateFn create) : FProperties(properties), FCreate(create) {}

  TPropertiesFn FProperties;
  TCreateFn FCreate;
};

// Adds classes to a palette page, in order. Registering a class again does
// nothing; another class under a registered name raises EComponentError.
void RegisterComponents(const String& page, std::initializer_list<TComponentClass> classes);
// Takes classes out of the registry (a package being unloaded); pages left
// empty disappear.
void UnRegisterComponents(std::initializer_list<TComponentClass> classes);
std::vector<String> GetPalettePages();
std::vector<TComponentClass> GetPaletteClasses(const String& page);
// By class name, ignoring ASCII case. FindClass raises EClassNotFound where
// GetClass returns nothing.
TComponentClass FindClass(std::u16string_view className);
std::optional<TComponentClass> GetClass(std::u16string_view className);
// Empties the registry; for tests.
void ClearClassRegistry();

}  // namespace System::Classes
