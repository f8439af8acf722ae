#include "framework/exceptions.h"

namespace System::Sysutils {

Exception::Exception(String message) : FMessage(std::move(message)), FUtf8(UTF8Encode(FMessage)) {}

}  // namespace System::Sysutils
