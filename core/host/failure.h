// The one exception type of the portable code: a failure that carries an HRESULT, as a COM call
// would report it. Raised by the tagged value's conversions and by host calls; caught only where
// the worksheet function and the COM edge turn it into a status or #VALUE!.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tb {

class Failure : public std::runtime_error {
  public:
    Failure(std::int32_t hresult, const std::string& what)
        : std::runtime_error(what), hresult_(hresult) {}
    std::int32_t hresult() const { return hresult_; }

  private:
    std::int32_t hresult_;
};

[[noreturn]] void fail(std::int32_t hresult, const std::string& what);

}  // namespace tb
