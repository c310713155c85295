// Names that Windows always takes for a device, in any folder.
#pragma once

#include <string>

namespace lumora {

// True when a file or folder name (one component, no separator) names a device: CON, PRN,
// AUX, NUL, CONIN$, CONOUT$, COM1-9 and LPT1-9 in any letter case, whatever extension
// follows and with spaces before it ("nul.txt", "COM1 .log"). The name is in the system's
// single-byte code page, where the superscript digits 1, 2 and 3 (0xB9, 0xB2, 0xB3) also
// make COM and LPT names devices, as current Windows takes them.
bool IsReservedDeviceName(const std::string& component);

}  // namespace lumora
