#include "face/face.h"

#include <cmath>

#include "framework/exceptions.h"

namespace Face::Fmx {

float NumpyNorm(const std::vector<float>& a) {
  if (a.empty()) throw System::Sysutils::Exception(u"Input array must not be empty");
  float sum = 0;
  for (const float x : a) sum = static_cast<float>(static_cast<double>(sum) + static_cast<double>(x) * x);
  return static_cast<float>(std::sqrt(static_cast<double>(sum)));
}

float NumpyDot(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.empty() || b.empty() || a.size() != b.size())
    throw System::Sysutils::Exception(u"\u8f93\u5165\u6570\u7ec4\u957f\u5ea6\u5fc5\u987b\u975e\u7a7a\u4e14\u76f8\u7b49");
  float sum = 0;
  for (size_t i = 0; i < a.size(); ++i)
    sum = static_cast<float>(static_cast<double>(sum) + static_cast<double>(a[i]) * b[i]);
  return sum;
}

}  // namespace Face::Fmx
