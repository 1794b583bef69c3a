// The overall time limit of one varnex-update run (name look-up, connect, every read
// and the QI exchange together), and how much longer the tray waits for the program
// before it ends it.
#pragma once

enum { UPDATE_DEADLINE_MS = 30000, UPDATE_WAIT_MARGIN_MS = 5000 };
