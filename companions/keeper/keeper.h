// KVT-Keeper, the service host of "VarnexService": holds the service's instance
// mutex, runs the supervisor KVT-Marshal (with -trace when the trace mutex exists
// at the keeper's start), restarts it with a growing pause when it ends on its own,
// and on a stop request ends it and then itself.
#pragma once

#include <cstdint>

#include "utils/options.h"

#define KEEPER "KEEPER"
#define KEEPER_SERVICE_NAME "VarnexService"
#define KEEPER_INSTANCE_MUTEX "Global\\Varnex KVT-Keeper"
#define KEEPER_TRACE_MUTEX "Global\\Varnex Trace=ON"
#define KEEPER_SETTINGS_KEY "HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnex"

struct keeper_state {
    option_text marshal_args; // more options for the supervisor's command line
    option_text log;          // file that takes the output of the keeper and the supervisor
    int32_t backoff_ms;       // first pause before a restart; doubles up to backoff_max_ms
    int32_t backoff_max_ms;
    int32_t steady_s; // a supervisor that ran this long starts the pauses afresh
    char marshal_path[600];
    bool trace;
    int32_t by_manager; // -service: started by the Windows service control manager
};

extern keeper_state g_keeper;

int keeper_main(int argc, char **argv);

// -install's second step: the access lists of the service and of the settings key
// (Windows); a status whose low bit is success.
extern const char KEEPER_SERVICE_SDDL[];
extern const char KEEPER_KEY_SDDL[];
int32_t keeper_grant_access();
