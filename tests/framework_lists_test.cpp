#include "framework/lists.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "framework/exceptions.h"

using namespace System::Generics::Collections;
using System::Sysutils::EArgumentException;

namespace {

// Records its name in a shared log when it dies, and what the owning list
// looked like at that moment.
struct TProbe {
  TProbe(std::string name, std::vector<std::string>& log, const TObjectList<TProbe>* list = nullptr)
      : Name(std::move(name)), Log(log), List(list) {}
  ~TProbe() {
    std::string entry = Name;
    if (List) entry.append(1, '@').append(std::to_string(List->Count()));
    Log.push_back(entry);
  }
  std::string Name;
  std::vector<std::string>& Log;
  const TObjectList<TProbe>* List;
};

}  // namespace

TEST(List, KeepsValuesInInsertionOrder) {
  TList<int> list;
  EXPECT_EQ(list.Add(10), 0);
  EXPECT_EQ(list.Add(30), 1);
  list.Insert(1, 20);
  list.Insert(3, 40);
  EXPECT_EQ(std::vector<int>(list.begin(), list.end()), (std::vector<int>{10, 20, 30, 40}));
  EXPECT_EQ(list.IndexOf(30), 2);
  EXPECT_EQ(list.Remove(20), 1);
  EXPECT_EQ(list.Remove(99), -1);
  list.Delete(0);
  EXPECT_EQ(list.First(), 30);
  EXPECT_EQ(list.Last(), 40);
  list.SetItems(1, 41);
  EXPECT_EQ(list[1], 41);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
}

TEST(List, BadIndexesRaiseArgumentOutOfRange) {
  TList<int> list;
  list.Add(1);
  try {
    list[1];
    FAIL();
  } catch (const EArgumentException& e) {
    EXPECT_EQ(e.Message(), u"Argument out of range");
  }
  EXPECT_THROW(list.Delete(-1), EArgumentException);
  EXPECT_THROW(list.Insert(2, 5), EArgumentException);
  EXPECT_THROW(TList<int>().First(), EArgumentException);
}

TEST(ObjectList, FreesEachObjectOnceWhenDeletedClearedOrDestroyed) {
  std::vector<std::string> log;
  {
    TObjectList<TProbe> list;
    list.Add(std::make_unique<TProbe>("a", log));
    list.Add(std::make_unique<TProbe>("b", log));
    list.Add(std::make_unique<TProbe>("c", log));
    list.Delete(1);
    EXPECT_EQ(log, (std::vector<std::string>{"b"}));
    EXPECT_EQ(list.Remove(list[0]), 0);
    EXPECT_EQ(log, (std::vector<std::string>{"b", "a"}));
    EXPECT_EQ(list[0]->Name, "c");
  }
  EXPECT_EQ(log, (std::vector<std::string>{"b", "a", "c"}));
}

TEST(ObjectList, ClearEmptiesTheListBeforeFreeingInOrder) {
  std::vector<std::string> log;
  TObjectList<TProbe> list;
  list.Add(std::make_unique<TProbe>("a", log, &list));
  list.Add(std::make_unique<TProbe>("b", log, &list));
  list.Clear();
  EXPECT_EQ(log, (std::vector<std::string>{"a@0", "b@0"}));
}

TEST(ObjectList, ExtractHandsOwnershipBack) {
  std::vector<std::string> log;
  TObjectList<TProbe> list;
  list.Add(std::make_unique<TProbe>("a", log));
  TProbe* raw = list[0];
  std::unique_ptr<TProbe> taken = list.Extract(raw);
  EXPECT_EQ(taken.get(), raw);
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.Extract(raw), nullptr);
  EXPECT_TRUE(log.empty());
  taken.reset();
  EXPECT_EQ(log, (std::vector<std::string>{"a"}));
}

TEST(ObjectList, IteratesHeldObjectsAsPointers) {
  std::vector<std::string> log;
  TObjectList<TProbe> list;
  list.Add(std::make_unique<TProbe>("x", log));
  list.Insert(0, std::make_unique<TProbe>("w", log));
  std::string names;
  for (TProbe* probe : list) names += probe->Name;
  EXPECT_EQ(names, "wx");
  EXPECT_EQ(list.IndexOf(list.Last()), 1);
  EXPECT_THROW(list[2], EArgumentException);
}
