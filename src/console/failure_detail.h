#pragma once

#include <string>
#include <string_view>

#include "platform/port_inspector.h"
#include "platform/serial_port.h"

namespace quarin {

// The name the Modbus standard gives an exception code; nullptr for a code it does not name.
const char* ExceptionName(int code);
// The symbolic name of an errno value ("ECONNREFUSED"); nullptr when unknown.
const char* ErrnoName(int error);
// "errno 111 ECONNREFUSED (Connection refused)".
std::string ErrnoText(int error);

// The detailed text of a failure box: what the operator can do about it, read from the box's own
// text (the exception type or socket error it carries, or the fixed text itself), so that every
// road to a box gets it. Empty when there is nothing to add.
std::string FailureDetail(std::string_view text);

// The detailed text of "Unable to capture Port": the open's errno and what the system says about
// the device, with the fix that fits.
std::string CaptureFailureDetail(std::string_view comName, const PortIdentity& port, int error);

// What the detail of a serial failure adds where the kernel drives the line's RS-485 direction;
// empty where it does not.
std::string Rs485Detail(const std::optional<Rs485Mode>& mode);

// The note of the serial line a transaction on this thread has open, for its failure boxes.
std::string& SerialLineNote();

} // namespace quarin
