// Test seams of the tray program: waits that tests of this process may shorten.
#pragma once

#include <cstdint>

// The fixed pause between stop and start of restart_service (3000 ms).
extern uint32_t g_panel_restart_pause_ms;
