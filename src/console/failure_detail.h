#pragma once

#include <string>
#include <string_view>

#include "messages/fault.h"
#include "platform/port_probe.h"
#include "platform/serial_port.h"

namespace quarin {

// The symbolic name of an errno value ("ECONNREFUSED"); nullptr when unknown.
const char* ErrnoName(int error);
// "errno 111 ECONNREFUSED (Connection refused)".
std::string ErrnoText(int error);

// The detailed text of a failure box: what the exception or error code means and what the
// operator can do about it. Empty when there is nothing to add.
std::string FailureDetail(const Fault& fault);

// The detailed text of "Unable to capture Port": the open's errno and what the system says about
// the device, with the fix that fits.
std::string CaptureFailureDetail(std::string_view comName, const PortIdentity& port, int error);

// What the detail of a serial failure adds where the kernel drives the line's RS-485 direction;
// empty where it does not.
std::string Rs485Detail(const std::optional<Rs485Mode>& mode);

// The note of the serial line a transaction on this thread has open, for its failure boxes.
std::string& SerialLineNote();

} // namespace quarin
