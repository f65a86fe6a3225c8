// The one place that hands the core its Windows implementations. Everything registered here is
// never destroyed, so ports and updaters may use it while the process ends.
#include "app/win32/Startup.h"

#include "common/Clock.h"
#include "ports/DravonPort.h"
#include "ports/win32/ControllerHost.h"
#include "ports/win32/PanelPortSystem.h"
#include "ports/win32/TlsStream.h"
#include "network/win32/WinsockNetwork.h"
#include "update/PanelUpdater.h"

DravonEnvironment PlatformPrinterEnvironment(std::uint32_t stallMs) {
    return DravonEnvironment{ProcessControllerHost(), ProcessNetwork(), SystemClock(), &SystemAnsiToWide,
                             SystemTlsStreams(),      stallMs};
}

void WirePlatform() {
    CDravonPort::SetDefaultEnvironment(PlatformPrinterEnvironment(kDataPortStallMs));
    CPanelUpdater::SetPortFactory([] { return MakePanelNetworkPort(); });
}

void FinishPlatform() { ProcessControllerHost().DeletePendingFiles(); }
