// Lists of text lines: the abstract TStrings that properties and streaming
// speak, and TStringList, the one that stores its lines.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <initializer_list>
#include <string_view>
#include <vector>

#include "framework/exceptions.h"
#include "framework/strings.h"

namespace System {

#ifdef _WIN32
inline constexpr std::u16string_view sLineBreak = u"\r\n";
#else
inline constexpr std::u16string_view sLineBreak = u"\n";
#endif

}  // namespace System

namespace System::Classes {

// Raised for an index outside a list; the message names the index.
class EListError : public Sysutils::Exception { public: using Exception::Exception; };

class TStrings {
 public:
  virtual ~TStrings() = default;

  virtual int Count() const = 0;
  virtual String Get(int index) const = 0;
  virtual void Put(int index, const String& s) = 0;
  virtual void Insert(int index, const String& s) = 0;
  virtual void Delete(int index) = 0;
  virtual void Clear() = 0;

  // Appends and returns the new line's index.
  virtual int Add(const String& s);
  void AddStrings(const TStrings& source);
  // Replaces every line with those of source; assigning a list to itself
  // changes nothing.
  virtual void Assign(const TStrings& source);

  String Strings(int index) const { return Get(index); }
  void SetStrings(int index, const String& s) { Put(index, s); }
  String operator[](int index) const { return Get(index); }

  // -1 when absent. Comparison follows CompareStrings: ASCII
  // case-insensitive unless the list says otherwise.
  virtual int IndexOf(std::u16string_view s) const;

  // Every line followed by sLineBreak (the last one too, unless
  // TrailingLineBreak is off), so that SetText(Text()) gives the same lines.
  String Text() const;
  // Splits at CR LF, LF or CR; a break at the very end adds no empty line.
  void SetText(std::u16string_view text);
  bool TrailingLineBreak() const { return FTrailingLineBreak; }
  void SetTrailingLineBreak(bool value) { FTrailingLineBreak = value; }

  // Same count and the same lines, compared exactly (case matters): the test
  // streaming uses to decide whether a list differs from its default.
  bool Equals(const TStrings& other) const;
  std::vector<String> ToVector() const;

 protected:
  TStrings() = default;
  TStrings(const TStrings&) = default;
  TStrings& operator=(const TStrings&) = default;

  virtual int CompareStrings(std::u16string_view a, std::u16string_view b) const;
  [[noreturn]] static void RaiseIndexError(int index);

 private:
  bool FTrailingLineBreak = true;
};

class TStringList : public TStrings {
 public:
  TStringList() = default;
  TStringList(std::initializer_list<String> lines) : FItems(lines) {}
  explicit TStringList(std::vector<String> lines) : FItems(std::move(lines)) {}
  TStringList(const TStringList&) = default;
  TStringList& operator=(const TStringList&) = default;

  int Count() const override { return static_cast<int>(FItems.size()); }
  String Get(int index) const override;
  void Put(int index, const String& s) override;
  void Insert(int index, const String& s) override;
  void Delete(int index) override;
  void Clear() override { FItems.clear(); }

  bool CaseSensitive() const { return FCaseSensitive; }
  void SetCaseSensitive(bool value) { FCaseSensitive = value; }

 protected:
  int CompareStrings(std::u16string_view a, std::u16string_view b) const override;

 private:
  std::vector<String> FItems;
  bool FCaseSensitive = false;
};

}  // namespace System::Classes
