// Named mutexes and semaphores that exist while some process holds them.
// Here: lock files under $VARNEX_RUNTIME_DIR/lock held with file locks, which the
// kernel drops when the holder ends, however it ends.
#pragma once

#include <cstdint>

struct named_object {
    intptr_t handle; // -1 when not held
};

enum named_result { NAMED_FAILED = 0, NAMED_CREATED = 1, NAMED_EXISTS = 2 };

// Mutex owned by the caller. NAMED_EXISTS when another live holder has it
// (the object is then not held); NAMED_FAILED with os_error() set otherwise.
// os_error() reads 0 after NAMED_CREATED and "already exists" after NAMED_EXISTS.
// Names may hold '\' and '/' ("Global\..."); each is one flat name.
named_result named_mutex_create(const char *name, named_object *out);
// Semaphore that many processes hold at once; NAMED_EXISTS when one held it already.
// Held by the caller after NAMED_CREATED and after NAMED_EXISTS.
named_result named_semaphore_create(const char *name, named_object *out);
// True when some live process holds the named object.
bool named_object_exists(const char *name);
void named_object_close(named_object *obj);
