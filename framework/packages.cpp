#include "framework/packages.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <typeinfo>

#include "framework/components.h"
#include "framework/resources.h"

namespace System {

using Sysutils::Format;

void TPackageContext::Initialize() {
  // A second start runs every unit's routine again; the units' own counters
  // keep their work to the first.
  int reached = 0;
  try {
    for (; reached < FTable.UnitCount; ++reached) {
      if (FTable.UnitInfo[reached].Init) FTable.UnitInfo[reached].Init();
    }
  } catch (...) {
    // A start that fails takes itself back: the units it reached stop again,
    // newest first, so that no later stop is owed for it.
    while (reached-- > 0) {
      if (FTable.UnitInfo[reached].FInit) FTable.UnitInfo[reached].FInit();
    }
    throw;
  }
  ++FStarts;
  FStarted = FTable.UnitCount;
}

void TPackageContext::Finalize() {
  if (FStarts == 0) return;
  --FStarts;
  for (int i = FStarted - 1; i >= 0; --i) {
    if (FTable.UnitInfo[i].FInit) FTable.UnitInfo[i].FInit();
  }
  if (FStarts == 0) FStarted = 0;
}

namespace {

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void PutName(std::vector<std::uint8_t>& out, const std::string& name) {
  if (name.find('\0') != std::string::npos) throw EPackageError(u"A package or unit name contains a NUL character");
  out.insert(out.end(), name.begin(), name.end());
  out.push_back(0);
}

class TDescriptionReader {
 public:
  explicit TDescriptionReader(std::span<const std::uint8_t> bytes) : FBytes(bytes) {}

  std::uint8_t Byte() {
    Need(1);
    return FBytes[FPos++];
  }
  std::uint32_t U32() {
    Need(4);
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= std::uint32_t(FBytes[FPos++]) << (8 * i);
    return v;
  }
  std::string Name() {
    const auto* start = FBytes.data() + FPos;
    const auto* end = static_cast<const std::uint8_t*>(std::memchr(start, 0, FBytes.size() - FPos));
    if (!end) Fail(u"a name has no terminating zero");
    FPos += static_cast<std::size_t>(end - start) + 1;
    return std::string(reinterpret_cast<const char*>(start), reinterpret_cast<const char*>(end));
  }
  // Each entry takes at least minBytes, which bounds a count before it is used.
  std::uint32_t Count(std::size_t minBytes) {
    const std::uint32_t n = U32();
    if (n > (FBytes.size() - FPos) / minBytes) Fail(Format(u"a count of %d entries does not fit", std::int64_t(n)));
    return n;
  }
  void End() {
    if (FPos != FBytes.size()) Fail(Format(u"%d bytes follow the package name", std::int64_t(FBytes.size() - FPos)));
  }

 private:
  void Need(std::size_t n) {
    if (FBytes.size() - FPos < n) Fail(u"it ends too early");
  }
  [[noreturn]] void Fail(const String& why) {
    throw EPackageError(Format(u"Invalid package description at byte %d: %s", std::int64_t(FPos), why));
  }

  std::span<const std::uint8_t> FBytes;
  std::size_t FPos = 0;
};

struct TLoadedPackage {
  String FileName;
  int Loads = 0;
  std::vector<Classes::TComponentClass> Registered;
};

// Main-thread state, as the loader runs on the host's main thread; the lock
// only keeps a misbehaving host from corrupting the map.
std::mutex& PackagesMutex() {
  static std::mutex m;
  return m;
}
std::map<HMODULE, TLoadedPackage>& Packages() {
  static auto* packages = new std::map<HMODULE, TLoadedPackage>();  // outlives every static package
  return *packages;
}

template <class F>
F Resolve(HMODULE module, const char* name) {
  return reinterpret_cast<F>(GetProcAddress(module, name));
}

std::vector<Classes::TComponentClass> AllRegistered() {
  std::vector<Classes::TComponentClass> all;
  for (const String& page : Classes::GetPalettePages()) {
    for (const auto& cls : Classes::GetPaletteClasses(page)) all.push_back(cls);
  }
  return all;
}

}  // namespace

std::vector<std::uint8_t> TPackageDescription::Encode() const {
  std::vector<std::uint8_t> out;
  PutU32(out, Flags);
  PutU32(out, static_cast<std::uint32_t>(Requires.size()));
  for (const TPackageName& p : Requires) {
    out.push_back(p.Hash);
    PutName(out, p.Name);
  }
  PutU32(out, static_cast<std::uint32_t>(Contains.size()));
  for (const TPackageUnit& u : Contains) {
    out.push_back(u.Flags);
    out.push_back(u.Hash);
    PutName(out, u.Name);
  }
  out.push_back(Package.Hash);
  PutName(out, Package.Name);
  return out;
}

TPackageDescription TPackageDescription::Decode(std::span<const std::uint8_t> bytes) {
  TDescriptionReader in(bytes);
  TPackageDescription d;
  d.Flags = in.U32();
  for (std::uint32_t i = 0, n = in.Count(2); i < n; ++i) {
    TPackageName p;
    p.Hash = in.Byte();
    p.Name = in.Name();
    d.Requires.push_back(std::move(p));
  }
  for (std::uint32_t i = 0, n = in.Count(3); i < n; ++i) {
    TPackageUnit u;
    u.Flags = in.Byte();
    u.Hash = in.Byte();
    u.Name = in.Name();
    d.Contains.push_back(std::move(u));
  }
  d.Package.Hash = in.Byte();
  d.Package.Name = in.Name();
  in.End();
  return d;
}

TPackageDescription GetPackageDescription(HMODULE module) {
  if (const auto resource = FindDataResource(module, u"PACKAGEINFO")) return TPackageDescription::Decode(*resource);
  const auto* bytes = Resolve<const std::uint8_t*>(module, "PACKAGEINFO");
  const auto* size = Resolve<const std::uint32_t*>(module, "PACKAGEINFOSIZE");
  if (!bytes || !size) throw EPackageError(u"The module has no package description (PACKAGEINFO)");
  return TPackageDescription::Decode(std::span(bytes, *size));
}

HMODULE LoadPackage(const String& fileName) {
  TLibraryHandle library(LoadLibrary(fileName));
  if (!library) throw EPackageError(Format(u"Can't load package %s.\n%s", fileName, LastLoaderErrorText()));
  const HMODULE module = library.get();

  const auto initialize = Resolve<void (*)()>(module, "Initialize");
  const auto finalize = Resolve<void (*)()>(module, "Finalize");
  if (!initialize || !finalize) {
    throw EPackageError(Format(u"%s is not a package: it exports no Initialize and Finalize", fileName));
  }
  TPackageDescription description;
  try {
    description = GetPackageDescription(module);
  } catch (const EPackageError& e) {
    throw EPackageError(Format(u"%s: %s", fileName, e.Message()));
  }

  std::lock_guard lock(PackagesMutex());
  const auto before = AllRegistered();
  const auto added = [&] {
    std::vector<Classes::TComponentClass> fresh;
    for (const auto& cls : AllRegistered()) {
      if (std::find(before.begin(), before.end(), cls) == before.end()) fresh.push_back(cls);
    }
    return fresh;
  };
  std::optional<String> why;
  try {
    initialize();
    try {
      for (const TPackageUnit& unit : description.Contains) {
        std::string symbol = "Register_" + unit.Name;
        std::replace(symbol.begin(), symbol.end(), '.', '_');
        if (const auto reg = Resolve<void (*)()>(module, symbol.c_str())) reg();
      }
    } catch (...) {
      // The classes of the units that did register would outlive their code.
      for (const auto& cls : added()) Classes::UnRegisterComponents({cls});
      finalize();
      throw;
    }
  } catch (const Sysutils::Exception& e) {
    why = e.Message();
  } catch (const std::exception& e) {
    why = UTF8ToString(e.what());
  } catch (...) {
    why = u"unknown exception";
  }
  if (why) throw EPackageError(Format(u"Can't load package %s.\n%s", fileName, *why));
  TLoadedPackage& loaded = Packages()[module];
  loaded.FileName = fileName;
  for (const auto& cls : added()) loaded.Registered.push_back(cls);
  ++loaded.Loads;
  return library.release();
}

void UnloadPackage(HMODULE module) {
  if (!module) return;
  std::lock_guard lock(PackagesMutex());
  // Only a handle that LoadPackage handed out: anything else may be closed
  // already, or belong to a caller who still uses it.
  auto it = Packages().find(module);
  if (it == Packages().end()) throw EPackageError(u"The module is not a package loaded by LoadPackage");
  if (it->second.Loads == 1) {
    // The last unload takes the classes' code away, and the components
    // made from it would then crash when they are freed.
    const int alive = Classes::CountLiveComponents(
        [&](const Classes::TComponent& c) { return ModuleContains(module, &typeid(c)); });
    if (alive > 0) {
      throw EPackageError(Format(u"Can't unload package %s: %d of its components are still alive",
                                 it->second.FileName, std::int64_t(alive)));
    }
  }
  TLibraryHandle library(module);
  const auto forget = [&] {
    if (--it->second.Loads > 0) return;
    // The classes' code goes away with the module: the registry must not
    // keep pointers into it.
    for (const auto& cls : it->second.Registered) Classes::UnRegisterComponents({cls});
    Packages().erase(it);
  };
  try {
    if (const auto finalize = Resolve<void (*)()>(module, "Finalize")) finalize();
  } catch (...) {
    forget();  // the module closes all the same
    throw;
  }
  forget();
}

}  // namespace System
