// Windows named mutexes and semaphores: kernel objects that exist while some
// process holds a handle to them ("Global\" names in the global namespace).
#include "platform/named_object.h"

#include <windows.h>

static named_result created_or_exists(HANDLE h, bool keep_existing, named_object *out) {
    if (!h) return NAMED_FAILED;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        if (keep_existing)
            out->handle = intptr_t(h);
        else
            CloseHandle(h);
        SetLastError(ERROR_ALREADY_EXISTS);
        return NAMED_EXISTS;
    }
    out->handle = intptr_t(h);
    SetLastError(0);
    return NAMED_CREATED;
}

named_result named_mutex_create(const char *name, named_object *out) {
    out->handle = -1;
    return created_or_exists(CreateMutexA(nullptr, TRUE, name), false, out);
}

named_result named_semaphore_create(const char *name, named_object *out) {
    out->handle = -1;
    return created_or_exists(CreateSemaphoreA(nullptr, 1, 0x7fffffff, name), true, out);
}

bool named_object_exists(const char *name) {
    HANDLE h = OpenMutexA(SYNCHRONIZE, FALSE, name);
    if (!h && GetLastError() != ERROR_INVALID_HANDLE) h = OpenSemaphoreA(SYNCHRONIZE, FALSE, name);
    if (h) {
        CloseHandle(h);
        return true;
    }
    // An object of another type holds the name.
    return GetLastError() == ERROR_INVALID_HANDLE;
}

void named_object_close(named_object *obj) {
    if (obj->handle != -1) CloseHandle(reinterpret_cast<HANDLE>(obj->handle));
    obj->handle = -1;
}
