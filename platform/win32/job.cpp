// Windows kill-on-close job: a job object with JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE.
// Closing its handle, or the owner ending, ends every member. proc_start assigns a
// new child to the open job while the child is still suspended (see
// win32_child_job), so a child never runs outside it; job_assign then finds it there.
#include "platform/process.h"
#include "platform/win32/win32_internal.h"

#include <mutex>
#include <windows.h>

static std::mutex s_lock;
static HANDLE s_current = nullptr; // the open job of job_create
static HANDLE s_own = nullptr;     // the layer's own job when there is none

static HANDLE make_job() {
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    if (!job) return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        DWORD e = GetLastError();
        CloseHandle(job);
        SetLastError(e);
        return nullptr;
    }
    return job;
}

void *win32_child_job() {
    std::lock_guard<std::mutex> hold(s_lock);
    if (s_current) return s_current;
    if (!s_own) s_own = make_job();
    return s_own;
}

bool job_create(os_job *job) {
    job->count = 0;
    HANDLE h = make_job();
    job->handle = h ? intptr_t(h) : -1;
    if (!h) return false;
    std::lock_guard<std::mutex> hold(s_lock);
    s_current = h;
    return true;
}

bool job_assign(os_job *job, const os_process *p) {
    if (job->handle == -1 || p->handle == -1 || !p->handle) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    HANDLE j = reinterpret_cast<HANDLE>(job->handle);
    HANDLE proc = reinterpret_cast<HANDLE>(p->handle);
    BOOL in = FALSE;
    if (IsProcessInJob(proc, j, &in) && in) {
        job->count++;
        return true;
    }
    if (!AssignProcessToJobObject(j, proc)) return false;
    job->count++;
    return true;
}

// The job object itself keeps its members; the program holds no handle per member.
void job_prune(os_job *) {}

void job_close(os_job *job) {
    if (job->handle != -1) {
        HANDLE j = reinterpret_cast<HANDLE>(job->handle);
        {
            std::lock_guard<std::mutex> hold(s_lock);
            if (s_current == j) s_current = nullptr;
        }
        TerminateJobObject(j, 1);
        CloseHandle(j);
    }
    job->count = 0;
    job->handle = -1;
}
