// A run-time package for the package loader's tests: two units with run-once
// counters, one component class, and a journal of everything that ran.
// FAKE_PACKAGE_VARIANT picks a fault: 1 = Register throws, 2 = the
// description is cut short, 3 = the second unit's Register throws a standard
// exception after the first registered its class, 4 = the second unit's
// start-up work throws.
#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "framework/components.h"
#include "framework/packages.h"

#ifndef FAKE_PACKAGE_VARIANT
#define FAKE_PACKAGE_VARIANT 0
#endif

namespace {

using namespace System;
using namespace System::Classes;

std::string journal;
TUnitCounter alphaCounter, betaCounter;

class TFakeGadget : public TComponent {
 public:
  static const TPropertyTable& Properties() {
    static const TPropertyTable table = TPropertyTable::Of<TFakeGadget>(u"TFakeGadget", TComponent::Properties());
    return table;
  }
  const TPropertyTable& PublishedProperties() const override { return Properties(); }
  explicit TFakeGadget(TComponent* owner) : TComponent(owner) {}
};

void AlphaInit() { journal += alphaCounter.Start() ? "alpha+ " : "alpha. "; }
void AlphaFInit() { journal += alphaCounter.Stop() ? "alpha- " : "alpha, "; }
void BetaInit() {
  if (FAKE_PACKAGE_VARIANT == 4) throw Sysutils::Exception(u"beta cannot start");
  journal += betaCounter.Start() ? "beta+ " : "beta. ";
}
void BetaFInit() { journal += betaCounter.Stop() ? "beta- " : "beta, "; }

const PackageUnitEntry units[] = {{AlphaInit, AlphaFInit}, {nullptr, nullptr}, {BetaInit, BetaFInit}};
PackageInfoTable table{3, units};
TPackageContext context(table);

std::vector<std::uint8_t> Description() {
  TPackageDescription d;
  d.Flags = pfPackageModule;
  d.Requires = {{PackageNameHash("framework"), "framework"}};
  d.Contains = {{ufMainUnit | ufPackageUnit, PackageNameHash("Fake"), "Fake"},
                {0, PackageNameHash("Alpha.Units"), "Alpha.Units"},
                {0, PackageNameHash("Beta"), "Beta"}};
  d.Package = {PackageNameHash("Fake"), "Fake"};
  auto bytes = d.Encode();
  if (FAKE_PACKAGE_VARIANT == 2) bytes.resize(bytes.size() - 3);
  return bytes;
}
}  // namespace

extern "C" {
unsigned char PACKAGEINFO[256];
std::uint32_t PACKAGEINFOSIZE = [] {
  const auto bytes = Description();
  std::copy(bytes.begin(), bytes.end(), PACKAGEINFO);
  return static_cast<std::uint32_t>(bytes.size());
}();

void Initialize() {
  journal += "Initialize ";
  context.Initialize();
}
void Finalize() {
  journal += "Finalize ";
  context.Finalize();
}
PackageInfoTable* GetPackageInfoTable() { return &table; }

void Register_Alpha_Units() {
  journal += "Register_Alpha_Units ";
  if (FAKE_PACKAGE_VARIANT == 1) throw Sysutils::Exception(u"palette is full");
  RegisterComponents(u"Fake Page", {TComponentClass::Of<TFakeGadget>()});
}
void Register_Beta() {
  journal += "Register_Beta ";
  if (FAKE_PACKAGE_VARIANT == 3) throw std::runtime_error("beta is broken");
}

const char* fake_package_journal() { return journal.c_str(); }
std::int32_t fake_package_counter(int unit) { return unit == 0 ? alphaCounter.Value() : betaCounter.Value(); }
}
