// Child processes and the job that ends them with their parent.
#pragma once

#include <cstddef>
#include <cstdint>

struct os_process {
    int pid;         // 0 when empty
    intptr_t handle; // pidfd here, process HANDLE on Windows
};

enum { PROC_WAIT_MAX = 512, PROC_WAIT_TIMEOUT = -1, PROC_WAIT_FAILED = -2 };

// Splits a command-line text into arguments by the Windows C run-time's rules
// (blanks separate, double quotes group, backslashes before a quote escape it).
// Arguments are written into storage; returns their count, at most max_args - 1,
// and argv[count] is nullptr; -1 (E2BIG) when storage is too small.
int cmdline_split(const char *line, char *storage, size_t cap, char **argv, int max_args);

// Starts program_path with the arguments of command_line. The descriptor inherit
// (or -1 for none) is the only one the child receives besides the standard streams.
// A program that cannot be executed is reported here as a failure. The child ends
// when this process ends, however it ends (killed included).
bool proc_start(const char *program_path, const char *command_line, intptr_t inherit,
                os_process *out);
// Starts a program that outlives this process (a service host): its own session,
// no descriptor inherited besides the standard streams.
bool proc_start_detached(const char *program_path, const char *command_line, os_process *out);

// Waits for any of count processes (at most PROC_WAIT_MAX) to end; returns its index,
// PROC_WAIT_TIMEOUT or PROC_WAIT_FAILED. The process is not reaped.
// timeout_ms 0xFFFFFFFF waits forever.
int proc_wait_any(const os_process *procs, unsigned count, unsigned timeout_ms);
// Waits for one process; true when it has ended.
bool proc_wait(const os_process *p, unsigned timeout_ms);
// The exit code of an ended process (128 + signal number after a signal);
// 259 (still active) while it runs.
bool proc_exit_code(os_process *p, int *code);
// Ends the process at once. Here it is killed with SIGKILL, so its exit code reads
// 137 whatever exit_code says.
bool proc_terminate(const os_process *p, int exit_code);
// Releases the handle. The child is reaped: at once when it has ended, otherwise
// in the background when it ends (a killed child within moments).
void proc_close(os_process *p);

// Kill-on-close job: members die when the job is closed or its owner ends.
enum { JOB_MAX_MEMBERS = 1024 };
struct os_job {
    intptr_t handle;                   // job HANDLE on Windows
    intptr_t members[JOB_MAX_MEMBERS]; // pidfds of the members here
    unsigned count;
};
bool job_create(os_job *job);
bool job_assign(os_job *job, const os_process *p);
// Lets go of the members that have ended (on Linux their descriptors), so that a
// supervisor whose children have all ended holds nothing for them.
void job_prune(os_job *job);
void job_close(os_job *job);
