#pragma once
// NAN bring-up, the last start-up step: the event module, the NAN interface "nan0" on the first
// Wi-Fi device, NAN on both bands, the data-path security and the published service.
#include "nan_event.hpp"

// Finds the wiphy index into nan_phy; 0, or -1 after its failure lines.
int get_phy();
// Finds the wdev of the NAN interface on the first listed phy (the one get_phy takes) into
// nan_wdev; 0, or -1 after its failure lines.
int get_wdev();

// Everything after the event module: deletes a NAN interface an earlier run left on the phy,
// creates and starts nan0, sends the data-path security and publishes the service. Returns 0, or
// -1 after the failing step's line.
int bring_up_nan_interface();

// Returns 0 when NAN is up and the service published, -1 after the failing step's line.
int nan_bringup(nan_events& events);
