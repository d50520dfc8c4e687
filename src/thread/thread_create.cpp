// Thread creation: maps the 0-31 priority scale onto the system scheduler,
// applies stack size and name, and starts every thread in threadStub, which
// keeps the thread's marker file while the entry function runs. The start
// record belongs to one thread at a time; the markers of running threads are
// listed in marker_registry.cpp.
#include "zelk.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include <sched.h>
#include <unistd.h>

#include "common/status.h"
#include "thread/marker_registry.h"
#include "common/trace.h"

using zelk::detail::fail;

namespace {

constexpr int kTopPriority = 31;
constexpr size_t kNameSize = 64;  // 63 characters and the terminator
constexpr size_t kPathSize = 128; // room for the longest marker path
constexpr size_t kPathLimit = 127;
constexpr size_t kSystemNameMax = 15; // the kernel's limit without terminator
constexpr char kNoName[] = "noname";
constexpr char kMarkerPrefix[] = "/var/run/zelk/pid%d-tid%d-";

// The probe covers this many bytes from the name pointer, however short the
// name: a name that ends just before an unreadable page is not used.
constexpr uint32_t kNameProbeLength = 64;
constexpr int kNameProbeMode = 5;
constexpr int kNameProbeFlag = 1;

// Allocated zero-filled by zelkThreadCreate; owned by the new thread from the
// moment pthread_create succeeds.
struct ThreadStartInfo {
    void *(*entry)(void *);
    void *arg;
    char name[kNameSize];
    char path[kPathSize];
    zelk::detail::MarkerEntry marker;
};

// Removes the marker file and releases the start record when the thread
// leaves its entry function: by returning, by pthread_exit, or by
// cancellation (both unwind through this holder's destructor).
class StartRecordOwner {
public:
    explicit StartRecordOwner(ThreadStartInfo *info) : info_(info) {}
    ~StartRecordOwner()
    {
        ZELK_PROBE(zelk, thread_end, gettid(), info_->name);
        zelk::detail::markerRemove(info_->marker);
        delete info_;
    }
    StartRecordOwner(const StartRecordOwner &) = delete;
    StartRecordOwner &operator=(const StartRecordOwner &) = delete;

private:
    ThreadStartInfo *info_;
};

// Formats the marker path, cut to kPathLimit - 1 characters. A '/' in the
// name would make the marker a path into some other directory, so it is
// written as '_'.
void formatMarkerPath(ThreadStartInfo &info)
{
    int used = snprintf(info.path, kPathLimit, kMarkerPrefix,
                        static_cast<int>(getpid()), gettid());
    if (used < 0)
        used = 0;
    size_t at = static_cast<size_t>(used);
    if (at >= kPathLimit)
        at = kPathLimit - 1;
    for (const char *c = info.name; *c != '\0' && at + 1 < kPathLimit; ++c)
        info.path[at++] = *c == '/' ? '_' : *c;
    info.path[at] = '\0';
}

void *threadStub(void *arg)
{
    auto *info = static_cast<ThreadStartInfo *>(arg);
    const StartRecordOwner owner(info);

    formatMarkerPath(*info);
    info->marker.path = info->path;
    zelk::detail::markerCreate(info->marker);

    info->name[kSystemNameMax] = '\0';
    pthread_setname_np(pthread_self(), info->name);
    ZELK_PROBE(zelk, thread_start, gettid(), info->name, info->entry);

    errno = 0; // the entry starts clean of the marker's failures
    return info->entry(info->arg);
}

// Copies the caller's name when the 64 bytes at it may be read; otherwise
// the record keeps "noname". Longer names are cut to 63 characters. A failed
// probe is no error: its errno is not passed on.
void takeName(ThreadStartInfo &info, const char *name)
{
    const zelk::detail::ErrnoSaver keep;
    if (zelkMemProbe(name, kNameProbeMode, kNameProbeLength, kNameProbeFlag) !=
        0)
        return;
    const size_t length = strnlen(name, kNameSize - 1);
    memcpy(info.name, name, length);
    info.name[length] = '\0';
}

// Sets an explicit scheduling policy and priority. Returns 0 or an error
// number; refusals that the flags let pass return 0.
int applyPriority(pthread_attr_t &attr, const zelkThreadAttr &request)
{
    const bool strict = (request.flags & ZELK_THREAD_SCHED_STRICT) != 0;
    int rc = pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
    if (rc != 0)
        return rc;

    sched_param param{};
    if (getuid() == 0) {
        if ((request.flags & ZELK_THREAD_PRIO_NATIVE) != 0) {
            param.sched_priority = request.priority;
        } else {
            const int low = sched_get_priority_min(SCHED_RR);
            const int high = sched_get_priority_max(SCHED_RR);
            param.sched_priority =
                low + ((high - low) * request.priority) / kTopPriority;
        }
        rc = pthread_attr_setschedpolicy(&attr, SCHED_RR);
        if (rc != 0 && strict)
            return rc;
    } else {
        if (strict)
            return EINVAL;
        rc = pthread_attr_setschedpolicy(&attr, SCHED_OTHER);
        if (rc != 0)
            return rc;
    }
    rc = pthread_attr_setschedparam(&attr, &param);
    return strict ? rc : 0;
}

// Translates the caller's record into attr. Returns 0 or an error number.
int applyAttributes(pthread_attr_t &attr, const zelkThreadAttr &request,
                    ThreadStartInfo &info)
{
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);

    int rc = 0;
    if (request.priority == -1) {
        rc = pthread_attr_setinheritsched(&attr, PTHREAD_INHERIT_SCHED);
    } else if ((request.flags & ZELK_THREAD_PRIO_NATIVE) != 0) {
        if (zelkValidatePriority(request.priority) != 0)
            return EINVAL;
        rc = applyPriority(attr, request);
    } else if (static_cast<uint32_t>(request.priority) >
               static_cast<uint32_t>(kTopPriority)) {
        return EINVAL;
    } else {
        rc = applyPriority(attr, request);
    }
    if (rc != 0)
        return rc;

    if (request.stackSize != 0) {
        rc = pthread_attr_setstacksize(&attr, request.stackSize);
        if (rc != 0 && (request.flags & ZELK_THREAD_STACK_STRICT) != 0)
            return rc;
    }

    if ((request.flags & ZELK_THREAD_NAME_VALID) != 0 &&
        request.name != nullptr)
        takeName(info, request.name);
    return 0;
}

// Destroys a threads-library attribute object on every path out.
class AttrHolder {
public:
    AttrHolder() { pthread_attr_init(&attr_); }
    ~AttrHolder() { pthread_attr_destroy(&attr_); }
    AttrHolder(const AttrHolder &) = delete;
    AttrHolder &operator=(const AttrHolder &) = delete;
    pthread_attr_t &get() { return attr_; }

private:
    pthread_attr_t attr_;
};

// Starts threadStub on the record, which the new thread then owns.
int startThread(pthread_t *thread, const pthread_attr_t *attr,
                std::unique_ptr<ThreadStartInfo> info)
{
    const int rc = pthread_create(thread, attr, threadStub, info.get());
    if (rc != 0)
        return fail(rc);
    info.release();
    return 0;
}

} // namespace

int zelkThreadCreate(pthread_t *thread, const zelkThreadAttr *attr,
                     void *(*entry)(void *), void *arg)
{
    if (thread == nullptr || entry == nullptr)
        return fail(EINVAL);
    std::unique_ptr<ThreadStartInfo> info(new (std::nothrow) ThreadStartInfo{});
    if (info == nullptr)
        return fail(ENOMEM);
    info->entry = entry;
    info->arg = arg;
    memcpy(info->name, kNoName, sizeof kNoName);

    if (attr == nullptr)
        return startThread(thread, nullptr, std::move(info));
    AttrHolder holder;
    const int rc = applyAttributes(holder.get(), *attr, *info);
    if (rc != 0)
        return fail(rc);
    return startThread(thread, &holder.get(), std::move(info));
}

int zelkValidatePriority(int priority)
{
    const int policy = getuid() == 0 ? SCHED_RR : SCHED_OTHER;
    if (priority < sched_get_priority_min(policy) ||
        priority > sched_get_priority_max(policy))
        return fail(EINVAL);
    return 0;
}
