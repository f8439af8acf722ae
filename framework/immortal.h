// A static that is built on first use and never destroyed.
//
// Exit destroys statics while other threads may still use them: a component
// kept in a static or leaked, whose worker waits on a library's callback or
// its queue. On Windows it is worse: the process's other threads are ended
// first, and an ended thread may hold the locks a mutex's or condition
// variable's destructor takes (MinGW's winpthreads shares one lock among all
// statically initialised condition variables), so destroying one there can
// hang the exit.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

namespace System {

template <class T>
union TImmortal {
  T Value;
  TImmortal() : Value() {}
  ~TImmortal() {}
};

}  // namespace System
