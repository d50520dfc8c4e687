// sysCal task spawning: each task is a plain joinable thread that runs its
// entry function with argument words from a heap start record. The record
// belongs to the spawning call until the thread exists, then to the task,
// whose start routine frees it once the entry has returned.
#include "zelk.h"

#include <cstdlib>

#include <pthread.h>

#include "common/status.h"

static_assert(sizeof(pthread_t) == sizeof(sysCalTaskId),
              "a task id holds the task's pthread_t");

namespace {

struct StartInfo {
    sysCalEntry entry;
    int32_t args[4];
};

struct StartInfoEx {
    sysCalEntryEx entry;
    int32_t arg;
};

void *startThread(void *raw)
{
    auto *info = static_cast<StartInfo *>(raw);
    if (info->entry != nullptr)
        info->entry(info->args[0], info->args[1], info->args[2], info->args[3]);
    std::free(info);
    return nullptr;
}

void *startThreadEx(void *raw)
{
    auto *info = static_cast<StartInfoEx *>(raw);
    if (info->entry != nullptr)
        info->entry(info->arg);
    std::free(info);
    return nullptr;
}

// Starts routine on a new thread with info, which is malloc'ed and fully
// written; frees info when no thread can be made. Returns the thread's id or
// 0. The caller's errno survives malloc's and pthread_create's failures.
sysCalTaskId spawn(void *(*routine)(void *), void *info)
{
    if (info == nullptr)
        return 0;
    pthread_t thread;
    if (pthread_create(&thread, nullptr, routine, info) != 0) {
        std::free(info);
        return 0;
    }
    return static_cast<sysCalTaskId>(thread);
}

} // namespace

sysCalTaskId sysCalSp(int32_t, int32_t, sysCalEntry entry, int32_t arg1,
                      int32_t arg2, int32_t arg3, int32_t arg4)
{
    const zelk::detail::ErrnoSaver keepErrno;
    auto *info = static_cast<StartInfo *>(std::malloc(sizeof(StartInfo)));
    if (info != nullptr)
        *info = StartInfo{entry, {arg1, arg2, arg3, arg4}};
    return spawn(startThread, info);
}

sysCalTaskId sysCalSpEx(int32_t, int32_t, sysCalEntryEx entry, int32_t arg)
{
    const zelk::detail::ErrnoSaver keepErrno;
    auto *info = static_cast<StartInfoEx *>(std::malloc(sizeof(StartInfoEx)));
    if (info != nullptr)
        *info = StartInfoEx{entry, arg};
    return spawn(startThreadEx, info);
}
