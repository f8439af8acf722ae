#include "framework/stringlist.h"

namespace System::Classes {

using Sysutils::Format;

int TStrings::Add(const String& s) {
  const int index = Count();
  Insert(index, s);
  return index;
}

void TStrings::AddStrings(const TStrings& source) {
  // Snapshot first: source may be this list.
  for (const String& s : source.ToVector()) Add(s);
}

void TStrings::Assign(const TStrings& source) {
  if (&source == this) return;
  Clear();
  AddStrings(source);
}

int TStrings::IndexOf(std::u16string_view s) const {
  const int n = Count();
  for (int i = 0; i < n; ++i) {
    if (CompareStrings(Get(i), s) == 0) return i;
  }
  return -1;
}

String TStrings::Text() const {
  String text;
  const int n = Count();
  for (int i = 0; i < n; ++i) {
    text += Get(i);
    if (FTrailingLineBreak || i + 1 < n) text += sLineBreak;
  }
  return text;
}

void TStrings::SetText(std::u16string_view text) {
  Clear();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = start;
    while (end < text.size() && text[end] != u'\r' && text[end] != u'\n') ++end;
    Add(String(text.substr(start, end - start)));
    if (end < text.size() && text[end] == u'\r' && end + 1 < text.size() && text[end + 1] == u'\n') ++end;
    start = end + 1;
  }
}

bool TStrings::Equals(const TStrings& other) const {
  const int n = Count();
  if (n != other.Count()) return false;
  for (int i = 0; i < n; ++i) {
    if (Get(i) != other.Get(i)) return false;
  }
  return true;
}

std::vector<String> TStrings::ToVector() const {
  std::vector<String> lines;
  const int n = Count();
  lines.reserve(n);
  for (int i = 0; i < n; ++i) lines.push_back(Get(i));
  return lines;
}

int TStrings::CompareStrings(std::u16string_view a, std::u16string_view b) const {
  const String ua = Sysutils::UpperCase(a);
  const String ub = Sysutils::UpperCase(b);
  return ua.compare(ub);
}

void TStrings::RaiseIndexError(int index) {
  throw EListError(Format(u"List index out of bounds (%d)", index));
}

String TStringList::Get(int index) const {
  if (index < 0 || index >= Count()) RaiseIndexError(index);
  return FItems[index];
}

void TStringList::Put(int index, const String& s) {
  if (index < 0 || index >= Count()) RaiseIndexError(index);
  FItems[index] = s;
}

void TStringList::Insert(int index, const String& s) {
  if (index < 0 || index > Count()) RaiseIndexError(index);
  FItems.insert(FItems.begin() + index, s);
}

void TStringList::Delete(int index) {
  if (index < 0 || index >= Count()) RaiseIndexError(index);
  FItems.erase(FItems.begin() + index);
}

int TStringList::CompareStrings(std::u16string_view a, std::u16string_view b) const {
  return FCaseSensitive ? a.compare(b) : TStrings::CompareStrings(a, b);
}

}  // namespace System::Classes
