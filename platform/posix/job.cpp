// Linux kill-on-close job: the job keeps its own pidfd of every member and kills
// the members still alive when it is closed. A member also dies with the process
// that started it (PR_SET_PDEATHSIG, set by proc_start), which covers an owner that
// ends without closing the job, SIGKILL included.
#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

bool job_create(os_job *job) {
    job->handle = 1;
    job->count = 0;
    return true;
}

static bool member_ended(intptr_t pidfd) {
    pollfd p{int(pidfd), POLLIN, 0};
    return poll(&p, 1, 0) > 0;
}

void job_prune(os_job *job) {
    unsigned kept = 0;
    for (unsigned i = 0; i < job->count; i++) {
        if (member_ended(job->members[i]))
            close(int(job->members[i]));
        else
            job->members[kept++] = job->members[i];
    }
    job->count = kept;
}

bool job_assign(os_job *job, const os_process *p) {
    if (job->handle <= 0 || p->handle < 0) {
        errno = EINVAL;
        return false;
    }
    // Members that have ended need no killing: drop them on every assign, so the job
    // holds descriptors only for children still running, however many have run.
    job_prune(job);
    if (job->count == JOB_MAX_MEMBERS) {
        errno = ENOSPC;
        return false;
    }
    int fd = fcntl(int(p->handle), F_DUPFD_CLOEXEC, 3);
    if (fd < 0) return false;
    job->members[job->count++] = fd;
    return true;
}

void job_close(os_job *job) {
    for (unsigned i = 0; i < job->count; i++) {
        syscall(SYS_pidfd_send_signal, int(job->members[i]), SIGKILL, nullptr, 0);
        close(int(job->members[i]));
    }
    job->count = 0;
    job->handle = -1;
}
