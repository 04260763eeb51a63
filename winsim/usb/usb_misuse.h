// winsim: how the simulated USB device fails loudly. A host that breaks a rule no real device can
// tolerate (two transfers in flight on one pipe, a transfer without a buffer) or a test that configures
// the device impossibly gets a MisuseError thrown at the point of the fault. Left uncaught it ends the
// process with its message, as a bug check would; tests that provoke a fault on purpose catch it.
#pragma once

#include <stdexcept>
#include <string>

namespace winsim::usb
{

class MisuseError : public std::logic_error
{
public:
    explicit MisuseError(const std::string& what) : std::logic_error("winsim usb: " + what) {}
};

} // namespace winsim::usb
