// The panel protocol's cost per block, measured against a printer: single 1 KB data commands,
// each sent and acknowledged on its own. A transfer that keeps pace with its acknowledgements
// takes about blocks x this time, so benchmarks use it as their baseline.
#pragma once

#include <string>

// The mean time in seconds of `roundTrips` single data commands to the panel at `address`
// (after the file header the panel wants first); 0 on failure.
double PanelRoundTripSeconds(const std::string& address, int roundTrips = 1000);
