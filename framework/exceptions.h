// The framework's exception classes. Messages are UTF-16; what() gives the
// same text in UTF-8 so that std::exception handlers see it too.
#pragma once

#include "framework/cxx20.h"  // first: says so when C++20 is missing

#include <exception>
#include <string>

#include "framework/strings.h"

namespace System::Sysutils {

class Exception : public std::exception {
 public:
  explicit Exception(String message);
  template <class... A>
  static Exception CreateFmt(std::u16string_view fmt, const A&... args) {
    return Exception(Format(fmt, args...));
  }

  const String& Message() const noexcept { return FMessage; }
  const char* what() const noexcept override { return FUtf8.c_str(); }

 private:
  String FMessage;
  std::string FUtf8;
};

// Subclasses add nothing but their type, so handlers can tell failures apart.
class EConvertError : public Exception { public: using Exception::Exception; };
class EArgumentException : public Exception { public: using Exception::Exception; };
class EInvalidOperation : public Exception { public: using Exception::Exception; };
class EOSError : public Exception { public: using Exception::Exception; };

}  // namespace System::Sysutils

namespace System::Classes {

class EStreamError : public Sysutils::Exception { public: using Exception::Exception; };
class EFOpenError : public EStreamError { public: using EStreamError::EStreamError; };
class EFCreateError : public EStreamError { public: using EStreamError::EStreamError; };
class EReadError : public EStreamError { public: using EStreamError::EStreamError; };
class EWriteError : public EStreamError { public: using EStreamError::EStreamError; };

}  // namespace System::Classes
