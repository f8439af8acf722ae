// The framework's generic lists: TList<T> holds values, TObjectList<T> owns
// the objects it holds and frees them when they leave it. Indexes are checked;
// a bad one raises EArgumentException "Argument out of range".
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <algorithm>
#include <iterator>
#include <memory>
#include <utility>
#include <vector>

#include "framework/exceptions.h"

namespace System::Generics::Collections {

namespace Detail {
[[noreturn]] inline void RaiseOutOfRange() { throw Sysutils::EArgumentException(u"Argument out of range"); }
}  // namespace Detail

template <class T>
class TList {
 public:
  TList() = default;

  int Count() const { return static_cast<int>(FItems.size()); }
  const T& operator[](int index) const { return FItems[Check(index)]; }
  T& operator[](int index) { return FItems[Check(index)]; }
  const T& Items(int index) const { return (*this)[index]; }
  void SetItems(int index, T value) { (*this)[index] = std::move(value); }
  const T& First() const { return (*this)[0]; }
  const T& Last() const { return (*this)[Count() - 1]; }

  int Add(T value) {
    FItems.push_back(std::move(value));
    return Count() - 1;
  }
  // index may equal Count() to append.
  void Insert(int index, T value) {
    if (index < 0 || index > Count()) Detail::RaiseOutOfRange();
    FItems.insert(FItems.begin() + index, std::move(value));
  }
  void Delete(int index) { FItems.erase(FItems.begin() + Check(index)); }
  // Removes the first equal item; returns its former index or -1.
  int Remove(const T& value) {
    const int index = IndexOf(value);
    if (index >= 0) Delete(index);
    return index;
  }
  int IndexOf(const T& value) const {
    const auto it = std::find(FItems.begin(), FItems.end(), value);
    return it == FItems.end() ? -1 : static_cast<int>(it - FItems.begin());
  }
  bool Contains(const T& value) const { return IndexOf(value) >= 0; }
  void Clear() { FItems.clear(); }

  auto begin() { return FItems.begin(); }
  auto end() { return FItems.end(); }
  auto begin() const { return FItems.begin(); }
  auto end() const { return FItems.end(); }

 private:
  size_t Check(int index) const {
    if (index < 0 || index >= Count()) Detail::RaiseOutOfRange();
    return static_cast<size_t>(index);
  }

  std::vector<T> FItems;
};

template <class T>
class TObjectList {
 public:
  // Iterates the held objects as plain pointers; the list keeps them.
  class const_iterator {
   public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = T*;
    using difference_type = std::ptrdiff_t;
    using pointer = T* const*;
    using reference = T*;

    const_iterator() = default;
    explicit const_iterator(typename std::vector<std::unique_ptr<T>>::const_iterator it) : FIt(it) {}
    T* operator*() const { return FIt->get(); }
    const_iterator& operator++() { ++FIt; return *this; }
    const_iterator operator++(int) { auto copy = *this; ++FIt; return copy; }
    const_iterator& operator--() { --FIt; return *this; }
    difference_type operator-(const const_iterator& other) const { return FIt - other.FIt; }
    bool operator==(const const_iterator& other) const { return FIt == other.FIt; }

   private:
    typename std::vector<std::unique_ptr<T>>::const_iterator FIt;
  };

  TObjectList() = default;
  virtual ~TObjectList() { Clear(); }
  TObjectList(const TObjectList&) = delete;
  TObjectList& operator=(const TObjectList&) = delete;

  int Count() const { return static_cast<int>(FItems.size()); }
  T* operator[](int index) const { return FItems[Check(index)].get(); }
  T* Items(int index) const { return (*this)[index]; }
  T* First() const { return (*this)[0]; }
  T* Last() const { return (*this)[Count() - 1]; }

  int Add(std::unique_ptr<T> item) {
    FItems.push_back(std::move(item));
    return Count() - 1;
  }
  void Insert(int index, std::unique_ptr<T> item) {
    if (index < 0 || index > Count()) Detail::RaiseOutOfRange();
    FItems.insert(FItems.begin() + index, std::move(item));
  }
  // The slot leaves the list before the object dies, so a destructor that
  // looks at the list finds it consistent.
  void Delete(int index) {
    auto item = std::move(FItems[Check(index)]);
    FItems.erase(FItems.begin() + index);
  }
  int Remove(const T* item) {
    const int index = IndexOf(item);
    if (index >= 0) Delete(index);
    return index;
  }
  // Hands the object back to the caller without freeing it; empty when the
  // list does not hold it.
  std::unique_ptr<T> Extract(const T* item) {
    const int index = IndexOf(item);
    return index < 0 ? nullptr : ExtractAt(index);
  }
  std::unique_ptr<T> ExtractAt(int index) {
    auto item = std::move(FItems[Check(index)]);
    FItems.erase(FItems.begin() + index);
    return item;
  }
  int IndexOf(const T* item) const {
    for (size_t i = 0; i < FItems.size(); ++i) {
      if (FItems[i].get() == item) return static_cast<int>(i);
    }
    return -1;
  }
  bool Contains(const T* item) const { return IndexOf(item) >= 0; }
  // Empties the list first, then frees the objects in order.
  void Clear() {
    auto items = std::move(FItems);
    FItems.clear();
    for (auto& item : items) item.reset();
  }

  const_iterator begin() const { return const_iterator(FItems.begin()); }
  const_iterator end() const { return const_iterator(FItems.end()); }

 private:
  size_t Check(int index) const {
    if (index < 0 || index >= Count()) Detail::RaiseOutOfRange();
    return static_cast<size_t>(index);
  }

  std::vector<std::unique_ptr<T>> FItems;
};

}  // namespace System::Generics::Collections
