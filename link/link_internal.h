// State the link's own files share: the open port, its settings and the next sync rate.
#pragma once

#include <cstdint>

#include "platform/serial_port.h"

extern int32_t BaudToggle;  // 1 = try 115200 next, 0 = 38400

extern SerialPort* PortHandle;
extern SerialSettings PortState;
