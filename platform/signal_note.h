// Handing a signal from its handler to an ordinary thread. A handler may only do what
// is safe at any instant (no stdio, no local time, no locks), so it notes the signal
// here and a thread that waits in signal_wait does the rest.
#pragma once

// Prepares the wake-up; call once before installing the handlers. False when it
// cannot be made (signal_wait then looks for a noted signal every 50 ms).
bool signal_note_init();
// Safe inside a signal handler: records sig (the first one noted stays) and wakes
// signal_wait.
void signal_note(int sig);
// Blocks until a signal has been noted; returns the first one.
int signal_wait();
