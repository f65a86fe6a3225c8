// Where the application wires the Windows implementations into the portable core: once at start,
// before any update object or printer port exists, and once at the end.
#pragma once

#include <cstdint>

#include "ports/DravonPort.h"

// The Windows implementations a printer port needs, with `stallMs` as its transfers' stall bound.
DravonEnvironment PlatformPrinterEnvironment(std::uint32_t stallMs);

// Creates the controller library's host, makes printer ports constructed without an environment
// use this process's host, Winsock, the system clock, the system's ANSI code page and Schannel,
// and registers the panel application updater's network port. The application calls it first
// thing; calling it again changes nothing.
void WirePlatform();

// Makes the last attempt at controller library files that could not be deleted so far. The
// application calls it last, once its installations (and with them the printer ports, which
// unload the library and delete their files) are gone.
void FinishPlatform();
