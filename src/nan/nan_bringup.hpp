#pragma once
// NAN bring-up, the last start-up step: the event module, the NAN interface "nan0" on the first
// Wi-Fi device, NAN on both bands, the data-path security and the published service.
#include "keyword.hpp"
#include "nan_event.hpp"
#include "param_record.hpp"

// Each query runs through the table's runner under its iwset_mutex.
// Finds the wiphy index into the interface state's phy; 0, or -1 after its failure lines.
int get_phy(keyword_dispatch_table& keywords);
// Finds the wdev of the NAN interface on the first listed phy (the one get_phy takes) into the
// interface state's wdev; 0, or -1 after its failure lines.
int get_wdev(keyword_dispatch_table& keywords);

// Everything after the event module: deletes a NAN interface an earlier run left on the phy,
// creates and starts nan0, sends the data-path security and publishes the service with the
// values of params. Returns 0, or -1 after the failing step's line.
int bring_up_nan_interface(keyword_dispatch_table& keywords, param_state& params);

// Starts the event module with events, then the interface. Returns 0 when NAN is up and the
// service published, -1 after the failing step's line.
int nan_bringup(nan_events& events, keyword_dispatch_table& keywords, param_state& params);
