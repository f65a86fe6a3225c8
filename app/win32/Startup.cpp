// The one place that hands the core its Windows implementations. Everything registered here is
// never destroyed, so ports and updaters may use it while the process ends.
#include "app/win32/Startup.h"

#include "common/Clock.h"
#include "ports/DravonPort.h"
#include "ports/win32/ControllerHost.h"
#include "ports/win32/PanelPortSystem.h"
#include "ports/win32/TlsStream.h"
#include "ports/win32/WinsockNetwork.h"
#include "update/PanelUpdater.h"

void WirePlatform() {
    Win32ControllerHost& host = ProcessControllerHost();
    CDravonPort::SetDefaultEnvironment(
        DravonEnvironment{host, ProcessNetwork(), SystemClock(), &SystemAnsiToWide, SystemTlsStreams(), kDataPortStallMs});
    CPanelUpdater::SetPortFactory([] { return MakePanelNetworkPort(); });
}

void FinishPlatform() { ProcessControllerHost().DeletePendingFiles(); }
