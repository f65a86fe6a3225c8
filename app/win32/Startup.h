// Where the application wires the Windows implementations into the portable core: once at start,
// before any update object or printer port exists, and once at the end.
#pragma once

// Creates the controller library's host, makes printer ports constructed without an environment
// use this process's host, Winsock, the system clock, the system's ANSI code page and Schannel,
// and registers the panel application updater's network port. The application calls it first
// thing; calling it again changes nothing.
void WirePlatform();

// Releases the identified printer's port (which unloads the controller library and deletes its
// file), then makes the last attempt at library files that could not be deleted so far. The
// application calls it last, once nothing uses the printer any more.
void FinishPlatform();
