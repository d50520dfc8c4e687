/*
 * zelk.h - the public interface of libzelk.so.2.
 *
 * Plain C functions and records, usable from C99 and C++ alike. Results follow
 * one convention unless a function says otherwise: 0 (or a value) on success,
 * -1 with the reason in errno on failure. The library keeps no pointer to a
 * caller's record beyond the call that receives it.
 */
#ifndef ZELK_H
#define ZELK_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#define ZELK_API __attribute__((visibility("default")))

#if defined(__cplusplus) && __cplusplus >= 201103L
#define ZELK_NOTHROW noexcept
#elif defined(__cplusplus)
#define ZELK_NOTHROW throw()
#else
#define ZELK_NOTHROW
#endif

#if defined(__cplusplus)
#define ZELK_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define ZELK_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#else
#define ZELK_STATIC_ASSERT_JOIN2(a, b) a##b
#define ZELK_STATIC_ASSERT_JOIN(a, b) ZELK_STATIC_ASSERT_JOIN2(a, b)
#define ZELK_STATIC_ASSERT(cond, msg)                                          \
    typedef char ZELK_STATIC_ASSERT_JOIN(zelkStaticAssert_,                    \
                                         __LINE__)[(cond) ? 1 : -1]
#endif

/* Records are laid out as each platform's C ABI lays them out; their sizes
 * and offsets are checked below on i686, x86_64, aarch64 and armhf.
 * zelkInfoBlock and zelkTimerSpec are the same everywhere. On armhf an
 * 8-byte member (uint64_t, and the threads library's types, which hold one)
 * is 8-byte aligned inside a record, as on the 64-bit platforms; on i686 it
 * is 4-byte aligned. So zelkEvent differs between the two 32-bit platforms:
 * its condition variable is at offset 8 on armhf (80 bytes in all) and at 4
 * on i686 (76 bytes). What the header promises on armhf is that platform's
 * natural layout, the one its compilers give every caller. */
#if defined(__x86_64__) && defined(__LP64__)
#define ZELK_EVENT_COND_AT 8
#define ZELK_EVENT_SIZE 96
#elif defined(__aarch64__) && defined(__LP64__)
#define ZELK_EVENT_COND_AT 8
#define ZELK_EVENT_SIZE 104 /* its pthread_mutex_t is 48 bytes */
#elif defined(__i386__)
#define ZELK_EVENT_COND_AT 4
#define ZELK_EVENT_SIZE 76
#elif defined(__arm__) && defined(__ARM_EABI__)
#define ZELK_EVENT_COND_AT 8
#define ZELK_EVENT_SIZE 80
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Nanoseconds: a duration, a wall-clock time since the epoch, or a reading of
 * the monotonic clock (absolute timer settings). */
typedef uint64_t zelkTime;
ZELK_STATIC_ASSERT(sizeof(zelkTime) == 8, "zelkTime is 8 bytes");

/* ---- Logging --------------------------------------------------------------
 * Three destinations (console = standard output, one log file, the system
 * log) and one level mask. A message is written when its level shares a bit
 * with the mask; level 0 is always written. Messages are written as given:
 * no time stamp, no prefix, no line end. Destinations and the mask are
 * process-wide. Writers are serialised by one lock: a zelkLog from a signal
 * handler that interrupted a zelkLog or zelkLogConfig of the same thread
 * waits forever. The log file is opened close-on-exec. */

#define ZELK_LOG_TO_FILE 1    /* argument: the file's path, or NULL for off */
#define ZELK_LOG_TO_CONSOLE 2 /* argument: non-NULL for on, NULL for off */
#define ZELK_LOG_TO_SYSLOG 3  /* argument: non-NULL for on, NULL for off */

/* Writes the printf-style message to every enabled destination (console and
 * file flushed at once; system log with priority LOG_NOTICE) when the level
 * passes the mask. Reports nothing; a NULL format writes nothing. */
ZELK_API void zelkLog(int level, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

/* Replaces the level mask (0 at load: only level 0 passes). */
ZELK_API void zelkLogMaskSet(unsigned mask);

/* Switches one destination on or off. The file destination closes the open
 * file first, then opens the named one for appending (created if missing).
 * Returns 0, or -1 with errno: EINVAL for an unknown destination, the open's
 * errno when the file cannot be opened (file logging is then off). */
ZELK_API int zelkLogConfig(int destination, const char *argument);

/* ---- Library information -------------------------------------------------- */

/* Filled by zelkInfo(). 80 bytes, the same on every architecture. */
typedef struct zelkInfoBlock {
    uint16_t version;     /* 0x2204 for 2.2.4: major, minor, patch byte */
    uint16_t flags;       /* bit 0 set by zelkInfo(); other bits kept */
    uint8_t reserved[12]; /* not touched */
    char buildText[64];   /* "<Mmm dd yyyy> with GCC <version>", zero-filled */
} zelkInfoBlock;
ZELK_STATIC_ASSERT(sizeof(zelkInfoBlock) == 80, "zelkInfoBlock is 80 bytes");
ZELK_STATIC_ASSERT(offsetof(zelkInfoBlock, version) == 0, "version at 0");
ZELK_STATIC_ASSERT(offsetof(zelkInfoBlock, flags) == 2, "flags at 2");
ZELK_STATIC_ASSERT(offsetof(zelkInfoBlock, reserved) == 4, "reserved at 4");
ZELK_STATIC_ASSERT(offsetof(zelkInfoBlock, buildText) == 16, "text at 16");

/* Opens and closes the driver's device node /dev/zelk. It runs once when the
 * library is loaded; when the node cannot be opened it sends two warnings to
 * the system log. The system-log destination is left as it was found.
 * Returns 0. */
ZELK_API int checkDriver(void);

/* Fills *info as described above. Returns 80, or -1 with errno EINVAL when
 * info is NULL or size is below 80 (the record is then not touched). */
ZELK_API int zelkInfo(zelkInfoBlock *info, int size);

/* Returns the calling thread's kernel thread id. Matches the declaration of
 * the C library, so both may be included together. */
ZELK_API int gettid(void) ZELK_NOTHROW;

/* ---- Threads ----------------------------------------------------------------
 * Threads on a priority scale of 0 (lowest) to 31 (highest), mapped onto the
 * system's SCHED_RR range for a caller whose real user id is 0, and onto
 * SCHED_OTHER (priority 0) for anybody else. While its entry function runs,
 * each thread is announced by an empty marker file
 * /var/run/zelk/pid<pid>-tid<tid>-<name> (when that directory exists and is
 * writable; the library never creates it). */

/* Option bits of zelkThreadAttr.flags; the other 28 bits are ignored. */
#define ZELK_THREAD_PRIO_NATIVE 0x10000000u  /* priority is a native one */
#define ZELK_THREAD_STACK_STRICT 0x20000000u /* refused stack size: fail */
#define ZELK_THREAD_SCHED_STRICT 0x40000000u /* refused scheduling: fail */
#define ZELK_THREAD_NAME_VALID 0x80000000u   /* use the name field */

/* The caller's thread attributes; read only during zelkThreadCreate(). */
typedef struct zelkThreadAttr {
    int32_t priority;   /* -1: inherit the creator's scheduling; else 0-31,
                           or a native priority with ZELK_THREAD_PRIO_NATIVE */
    uint32_t stackSize; /* bytes; 0: the threads library's default */
    uint32_t flags;     /* ZELK_THREAD_* bits */
    const char *name;   /* read only with ZELK_THREAD_NAME_VALID; may be NULL.
                           The first 63 characters are kept, 15 of them in the
                           system's thread name; a '/' becomes '_' in the
                           marker file's name */
} zelkThreadAttr;
ZELK_STATIC_ASSERT(sizeof(zelkThreadAttr) == (sizeof(void *) == 8 ? 24 : 16),
                   "zelkThreadAttr is 16 bytes on 32-bit, 24 on 64-bit");
ZELK_STATIC_ASSERT(offsetof(zelkThreadAttr, priority) == 0, "priority at 0");
ZELK_STATIC_ASSERT(offsetof(zelkThreadAttr, stackSize) == 4, "stackSize at 4");
ZELK_STATIC_ASSERT(offsetof(zelkThreadAttr, flags) == 8, "flags at 8");
ZELK_STATIC_ASSERT(offsetof(zelkThreadAttr, name) ==
                       (sizeof(void *) == 8 ? 16 : 12),
                   "name at 12 on 32-bit, 16 on 64-bit");

/* Starts entry(arg) on a new thread and stores its handle in *thread. With
 * attr NULL the thread is joinable, keeps the default scheduling and stack
 * and is named "noname"; joining it yields entry's result. With attr the
 * thread is detached and gets the record's priority, stack size and name
 * (the name only when the memory probe finds 64 readable bytes at it, else
 * "noname"). A priority, policy or stack size that the threads library
 * refuses is skipped unless the matching strict flag is set. Returns 0, or
 * -1 with errno: EINVAL when thread or entry is NULL, when priority is
 * neither -1 nor 0-31 (without ZELK_THREAD_PRIO_NATIVE), when a native
 * priority fails zelkValidatePriority(), or when a caller whose real user id
 * is not 0 sets ZELK_THREAD_SCHED_STRICT with an explicit priority; ENOMEM
 * when the start record cannot be allocated; the threads library's error
 * number for a refused setting that makes the call fail, or when the thread
 * cannot be created (EAGAIN, EPERM for a real-time policy not allowed). */
ZELK_API int zelkThreadCreate(pthread_t *thread, const zelkThreadAttr *attr,
                              void *(*entry)(void *), void *arg);

/* Checks a native priority against the range of the policy the caller would
 * get: SCHED_RR when the real user id is 0, SCHED_OTHER otherwise (0 only on
 * Linux). Returns 0 when it lies within, both ends included, or -1 with
 * errno EINVAL. */
ZELK_API int zelkValidatePriority(int priority);

/* ---- Mutexes and condition variables ---------------------------------------
 * Thin wrappers over the threads library's own objects, which the caller
 * allocates. Each returns 0, or -1 with errno set to the error number of the
 * threads-library call (for example EDEADLK when the owner relocks an
 * error-checking mutex, EPERM when a non-owner unlocks it, EBUSY when a
 * locked mutex is destroyed), or EINVAL when an object pointer is NULL.
 * errno is not written on success. */

/* Initialises a mutex of the given kind: 0 the default mutex (as
 * zelkMutexInit), 1 recursive, 2 error-checking. Any other kind: -1 with
 * EINVAL, the mutex untouched. */
ZELK_API int zelkMutexInitX(pthread_mutex_t *mutex, int kind);

/* Initialises a default mutex. */
ZELK_API int zelkMutexInit(pthread_mutex_t *mutex);

/* Destroys a mutex. */
ZELK_API int zelkMutexDestroy(pthread_mutex_t *mutex);

/* Locks a mutex, waiting as long as it takes. */
ZELK_API int zelkMutexLock(pthread_mutex_t *mutex);

/* Unlocks a mutex. */
ZELK_API int zelkMutexUnlock(pthread_mutex_t *mutex);

/* Initialises a condition variable with default attributes. */
ZELK_API int zelkCondInit(pthread_cond_t *cond);

/* Destroys a condition variable. */
ZELK_API int zelkCondDestroy(pthread_cond_t *cond);

/* Waits on cond: releases mutex, which the caller must hold, sleeps, and
 * holds mutex again on return. Spurious wake-ups are possible. A thread
 * cancelled here ends holding the mutex, as with the threads library. */
ZELK_API int zelkCondWait(pthread_cond_t *cond, pthread_mutex_t *mutex);

/* Wakes at most one thread waiting on cond; without a waiter nothing
 * happens. */
ZELK_API int zelkCondSignal(pthread_cond_t *cond);

/* ---- Event flags -------------------------------------------------------------
 * A word of 32 event bits. zelkEventSignal() sets bits; zelkEventWait() sleeps
 * until at least one bit of its mask is set and then takes (clears) all the
 * bits of its mask that are set. Bits nobody has taken stay set, so a signal
 * given before anybody waits is not lost; repeated signals of a bit before it
 * is taken leave it set once. The caller owns the record. */

typedef struct zelkEvent {
    uint32_t bits;         /* set and not yet taken; guarded by mutex */
    pthread_cond_t cond;   /* waiters sleep here */
    pthread_mutex_t mutex; /* a default mutex */
} zelkEvent;
ZELK_STATIC_ASSERT(offsetof(zelkEvent, bits) == 0, "bits at 0");
#ifdef ZELK_EVENT_SIZE
ZELK_STATIC_ASSERT(offsetof(zelkEvent, cond) == ZELK_EVENT_COND_AT,
                   "cond at 4 on i686, 8 elsewhere");
ZELK_STATIC_ASSERT(offsetof(zelkEvent, mutex) ==
                       offsetof(zelkEvent, cond) + sizeof(pthread_cond_t),
                   "mutex right after cond");
ZELK_STATIC_ASSERT(sizeof(zelkEvent) == ZELK_EVENT_SIZE,
                   "zelkEvent: 76 bytes on i686, 80 on armhf, 96 on x86_64, "
                   "104 on aarch64");
#endif

/* Initialises the event with no bit set. Returns 0, or -1 with errno: EINVAL
 * when event is NULL, or the threads library's error number (nothing is left
 * initialised then). */
ZELK_API int zelkEventInit(zelkEvent *event);

/* Destroys the event, which must have no waiter. Returns 0, or -1 with errno:
 * EINVAL when event is NULL, or the threads library's error number (EBUSY:
 * still in use). */
ZELK_API int zelkEventDestroy(zelkEvent *event);

/* Sleeps until at least one bit of *mask is set, takes every bit of *mask
 * that is set, and stores the bits taken (a non-empty part of the mask) in
 * *mask. Returns at once when matching bits are already set. Returns 0, or -1
 * with errno: EINVAL when event or mask is NULL or *mask is 0 (a wait that
 * could never end), or the threads library's error number (no bit taken,
 * *mask unchanged). A cancellation point; a thread cancelled here leaves the
 * event usable. */
ZELK_API int zelkEventWait(zelkEvent *event, uint32_t *mask);

/* Sets bits and wakes the waiting threads; each takes what its mask matches
 * (one after the other, so a bit goes to one waiter only) and the others
 * sleep on. Returns 0, or -1 with errno: EINVAL when event is NULL, or the
 * threads library's error number (when the wake-up fails the bits are set
 * all the same). */
ZELK_API int zelkEventSignal(zelkEvent *event, uint32_t bits);

/* ---- Time, sleep and time zone -------------------------------------------- */

/* Stores the wall-clock time since the epoch (microsecond resolution) in
 * *now. Returns 0, or -1 with errno: EINVAL when now is NULL, or the clock
 * query's errno (*now untouched). */
ZELK_API int zelkTimeGet(zelkTime *now);

/* Sleeps for *duration; a signal never shortens the sleep. Returns 0 once
 * the whole duration has passed, or -1 with errno: EINVAL when duration is
 * NULL or its seconds do not fit the platform's time_t (about 68 years on
 * 32-bit x86), or nanosleep's errno on any failure other than an
 * interruption. */
ZELK_API int zelkSleep(const zelkTime *duration);

/* Sets TZ to zone (in the form the C library accepts) and applies it at
 * once. Returns 0, or -1 with errno: EINVAL when zone is NULL, ENOMEM when
 * the environment cannot be changed. Not safe against concurrent use of the
 * environment by other threads. */
ZELK_API int zelkTimezoneSet(const char *zone);

/* ---- Timers ---------------------------------------------------------------
 * Up to 200 timers at a time, one-shot or periodic, on the monotonic clock.
 * Every callback runs on the library's one timer worker thread, one callback
 * at a time in the order the expiries arrive, so a long callback delays all
 * others. Expiries that fall while the timer's previous expiry still waits
 * for the worker are merged into it: a callback slower than its interval gets
 * fewer calls, never a burst of them.
 *
 * Each expiry reaches the worker as the signal SIGRTMIN, sent to that thread
 * alone; the library installs no handler. SIGRTMIN is the timers' own: the
 * worker drops any SIGRTMIN that is not one of its timers' expiries. An
 * application that may be sent SIGRTMIN by others (kill, sigqueue) must block
 * it in every thread of its own, simplest in main() before it creates any
 * (threads inherit the mask). Such a signal then waits for the worker, while
 * a thread that leaves SIGRTMIN unblocked may take it, and its default action
 * ends the process. */

/* A timer setting, in nanoseconds. In zelkTimerSet(): value is the first
 * expiry, relative to now or an absolute reading of CLOCK_MONOTONIC, 0 to
 * disarm; interval the period after it, 0 for a one-shot timer. Read back:
 * value is the time left until the next expiry (0: disarmed, or a one-shot
 * timer that has fired). */
typedef struct zelkTimerSpec {
    zelkTime value;
    zelkTime interval;
} zelkTimerSpec;
ZELK_STATIC_ASSERT(sizeof(zelkTimerSpec) == 16, "zelkTimerSpec is 16 bytes");
ZELK_STATIC_ASSERT(offsetof(zelkTimerSpec, value) == 0, "value at 0");
ZELK_STATIC_ASSERT(offsetof(zelkTimerSpec, interval) == 8, "interval at 8");

/* Called on the worker thread on each expiry with the timer's id and the
 * userArg given to zelkTimerCreate(). It may call any timer function, on its
 * own timer too, but must not wait for a thread that is inside
 * zelkTimerDelete() or zelkTimerSet() on the same timer. */
typedef void (*zelkTimerCallback)(int id, void *userArg);

/* Starts the timer service: the worker thread, with attr's priority, stack
 * size and name (NULL: zelkThreadCreate()'s defaults), and waits until it
 * runs. Optional: zelkTimerCreate() starts the service with the defaults.
 * Once the worker runs, a call returns 0 at once and ignores attr. Each start
 * writes one warning, without a line end, to standard error when the
 * monotonic clock's resolution is not 1 ns or cannot be read. The first
 * argument is ignored. Returns 0, or -1 with errno from zelkThreadCreate()
 * (the service is then not started; a later call starts afresh). */
ZELK_API int zelkTimerInit(int unused, const zelkThreadAttr *attr);

/* Creates a disarmed timer whose expiries call callback(id, userArg),
 * starting the service first when it is not running. Ids are handed out in
 * turn: the search for a free one starts after the id taken last, so a freed
 * id comes back only when the search reaches it again. Returns the id, 0 to
 * 199, or -1: errno untouched when callback is NULL or all 200 timers exist;
 * errno from the service's start or from timer_create otherwise. */
ZELK_API int zelkTimerCreate(zelkTimerCallback callback, void *userArg);

/* Deletes the timer. Outside a callback it first waits until the timer's
 * running callback has returned; once it has returned, the timer's callback
 * is never called again, even for expiries already on their way. Returns 0,
 * or -1 with errno untouched when id is not a created timer. */
ZELK_API int zelkTimerDelete(int id);

/* Arms the timer with *newSetting (see zelkTimerSpec): value is absolute
 * when flags has TIMER_ABSTIME (bit 0; other bits are ignored). A value of 0,
 * or newSetting NULL, disarms it. When oldSetting is not NULL it receives the
 * setting replaced: the time that was left and the interval. Outside a
 * callback it waits like zelkTimerDelete() for a running callback; after a
 * disarm has returned, the callback is not called until the timer is armed
 * again. Returns 0, or -1 with nothing changed: errno untouched when id is
 * not a created timer or a field's seconds do not fit time_t (about 68 years
 * on 32-bit x86); errno from timer_settime otherwise. */
ZELK_API int zelkTimerSet(int id, int flags, const zelkTimerSpec *newSetting,
                          zelkTimerSpec *oldSetting);

/* Stores the timer's time left and interval in *setting. May run while the
 * timer's callback runs. Returns 0, or -1 with *setting untouched: errno
 * untouched when id is not a created timer or setting is NULL; errno from
 * timer_gettime otherwise. */
ZELK_API int zelkTimerGet(int id, zelkTimerSpec *setting);

/* ---- Message passing and memory probe --------------------------------------
 * Carried out by the driver behind the device file /dev/zelk (the zelkd
 * daemon). A channel id or connection id is a descriptor on that file, owned
 * by the caller until destroy or detach. A receive id holds the channel id in
 * bits 0-15 (so channel ids must be below 65536) and the driver's message id
 * in bits 16-31. Failures: -1 with errno from opening the device file or from
 * the driver. */

/* Creates a channel named by the first 255 characters of name. Returns the
 * channel id, or -1 (EINVAL when name is NULL). */
ZELK_API int zelkChannelCreate(const char *name);

/* Destroys the channel and closes its descriptor, whatever the driver says.
 * Tasks still waiting in a receive on it fail with EBADF, senders waiting
 * for a reply with EPIPE. Returns 0, or -1 when the request or the close
 * failed. */
ZELK_API int zelkChannelDestroy(int channelId);

/* Waits for a message on the channel and copies up to size bytes of it into
 * buffer; *info (when info is not NULL) gets the driver's information word.
 * Returns the receive id, or -1 (nothing written to *info; EBADF when
 * channelId is above 65535 and cannot be carried in a receive id). */
ZELK_API int zelkMsgReceive(int channelId, void *buffer, uint32_t size,
                            uint32_t *info);

/* Answers the message named by receiveId with status and size bytes of data.
 * Returns 0 or -1. */
ZELK_API int zelkMsgReply(int receiveId, int status, const void *data,
                          uint32_t size);

/* Attaches a connection to the channel named by the first 255 characters of
 * name. Returns the connection id, or -1 (EINVAL when name is NULL). */
ZELK_API int zelkConnectAttach(const char *name);

/* Detaches the connection and closes its descriptor, whatever the driver
 * says. A send still waiting on it fails with EBADF. Returns 0, or -1 when
 * the request or the close failed. */
ZELK_API int zelkConnectDetach(int connectionId);

/* Sends size bytes of data and waits for the reply, of which up to replySize
 * bytes land in reply. Returns the status that the driver passes back (the
 * server's reply status; 1 if the driver gives none), or -1. A server's reply
 * status of -1 is returned as is and looks like a failure, with errno left
 * as it was before the call. */
ZELK_API int zelkMsgSend(int connectionId, const void *data, uint32_t size,
                         void *reply, uint32_t replySize);

/* Asks the driver whether length bytes from address may be accessed as mode
 * asks (bit 0 read, bit 1 write), in chunks of at most 2048 bytes, without
 * touching them. flag is handed to the driver unchanged (zelkd ignores it).
 * Returns 0 when all may (also for length 0), the first refusing chunk's
 * result otherwise (normally -1 with the driver's errno), or -1 with open's
 * errno when the device file cannot be opened. */
ZELK_API int zelkMemProbe(const void *address, int mode, uint32_t length,
                          int flag);

/* ---- Object copy -----------------------------------------------------------
 * A layout descriptor is a string of signed bytes, one per field, in the
 * order of the record's fields, ended by 0. An entry n from 1 to 127 is a
 * field of n bytes; fields lie back to back in source and destination alike,
 * so padding is described as fields of its own, and a field longer than 127
 * bytes as several entries. A negative entry is passed over in both modes:
 * it reads and writes nothing and moves neither the source nor the
 * destination position. */

/* Copies the record at source to destination field by field as layout
 * describes: unchanged when swap is 0, otherwise with the bytes of each field
 * (each entry) in reverse order, which converts integer fields between
 * little-endian and big-endian. Reads and writes exactly as many bytes as the
 * positive entries add up to. A plain copy gives the result of copying byte
 * by byte in ascending order, also when the areas overlap; a reversing copy
 * needs areas that do not overlap (no conversion in place). No argument is
 * checked: NULL pointers are not accepted. Returns 0. */
ZELK_API int zelkObjectCopy(const void *source, void *destination,
                            const char *layout, int swap);

/* ---- sysCal: tasks, delay, clock and version --------------------------------
 * A thin interface for code written against a task-based system. Its results
 * follow their own convention (a handle or NULL, a task id or 0, fixed values,
 * 0 or -1) and no sysCal function writes errno. It shares nothing with the
 * rest of the library: a task is a plain joinable thread (no priority scale,
 * name or marker file), and the delay and clock call the C library directly. */

/* The version number of the sysCal interface: 0x1008. */
extern ZELK_API const uint16_t sysVersion;

/* A task's thread id (its pthread_t, pointer-sized so that it can be passed
 * to pthread_join or pthread_detach on every architecture); 0 means no task. */
typedef uintptr_t sysCalTaskId;
ZELK_STATIC_ASSERT(sizeof(sysCalTaskId) == sizeof(void *),
                   "sysCalTaskId is pointer-sized");

/* Task entry functions; their results are dropped. */
typedef int (*sysCalEntry)(int32_t, int32_t, int32_t, int32_t);
typedef int (*sysCalEntryEx)(int32_t);

/* Starts a task, a joinable thread with the threads library's default
 * attributes, that runs entry(arg1, arg2, arg3, arg4) and ends when entry
 * returns; a NULL entry makes a task that ends at once. The first two
 * arguments have no effect. The task stays joinable after it ends until the
 * caller joins or detaches it with the returned id. Returns the task's id, or
 * 0 when the task cannot be made (no memory, or the thread cannot be
 * created; the reason is not reported). */
ZELK_API sysCalTaskId sysCalSp(int32_t unused1, int32_t unused2,
                               sysCalEntry entry, int32_t arg1, int32_t arg2,
                               int32_t arg3, int32_t arg4);

/* As sysCalSp, for an entry function of one argument: runs entry(arg). */
ZELK_API sysCalTaskId sysCalSpEx(int32_t unused1, int32_t unused2,
                                 sysCalEntryEx entry, int32_t arg);

/* Blocks the calling task for milliseconds ms; a signal handler that runs
 * meanwhile does not shorten the delay. 0 and negative values return at once.
 * Returns 0 in every case. */
ZELK_API int32_t sysCalTaskDelay(int32_t milliseconds);

/* Returns the wall-clock milliseconds since the epoch modulo 2^32 (wrapping
 * every 49.7 days, jumping when the system time is set), or 0xFFFFFFFF when
 * the time of day cannot be read (also a regular reading once per wrap). */
ZELK_API uint32_t sysCalTime(void);

/* Stores 0x1008 in *version (nothing when version is NULL) and, when text is
 * not NULL, writes exactly 30 bytes into it: "POSIX system interface"
 * followed by 8 zero bytes. Returns 0. */
ZELK_API int32_t sysCalGetVersion(uint16_t *version, char *text);

/* ---- sysCal: events and binary semaphores ----------------------------------
 * Opaque objects allocated by the library and owned by the caller through
 * their handles from create to a successful delete. Waits and takes block
 * without a time limit. A NULL handle returns -1 from every operation. */

typedef struct sysCalEvent sysCalEvent;
typedef struct sysCalSem sysCalSem;

/* Creates an event. Returns its handle, or NULL when it cannot be allocated
 * or initialised. */
ZELK_API sysCalEvent *sysCalEventCreate(void);

/* Deletes an event. Tasks that a post has released but that are still
 * leaving their wait are waited for, briefly. Returns 0 (the handle is
 * invalid afterwards), or -1: for NULL; for an event on which a task is
 * blocked in a wait that no post has released, which is left intact and
 * usable (post it, then delete again); or when destroying its mutex or
 * condition variable reports an error (the event is released all the same). */
ZELK_API int32_t sysCalEventDelete(sysCalEvent *event);

/* Releases every task waiting on the event at this moment. A post while no
 * task waits is not remembered. Returns 0, or -1 for NULL or when a
 * threads-library call fails (the event is left unlocked and usable). */
ZELK_API int32_t sysCalEventPost(sysCalEvent *event);

/* Waits for the next post of the event. May also return 0 on a spurious
 * wake-up of the underlying condition variable. A task cancelled while
 * waiting leaves the event unlocked and usable. Returns 0, or -1 for NULL or
 * when a threads-library call fails (the event is left unlocked). */
ZELK_API int32_t sysCalEventWait(sysCalEvent *event);

/* Creates a binary semaphore, available. Returns its handle, or NULL when it
 * cannot be allocated or initialised. */
ZELK_API sysCalSem *sysCalSemBCreate(void);

/* Deletes a binary semaphore, available or taken. Returns 0 (the handle is
 * invalid afterwards), or -1: for NULL; for a semaphore on which a task is
 * blocked in a take, which is left intact (give it, then delete again); or
 * when destroying its mutex or condition variable reports an error (the
 * semaphore is released all the same). */
ZELK_API int32_t sysCalSemDelete(sysCalSem *semaphore);

/* Makes the semaphore available, whichever task gives it, and lets one task
 * blocked in a take have it. Giving an available semaphore leaves it
 * available: gives do not add up. Returns 0, or -1 for NULL. */
ZELK_API int32_t sysCalSemGive(sysCalSem *semaphore);

/* Takes the semaphore, blocking until it is available: also when the calling
 * task took it before, so that one task may wait for another task's give.
 * Returns 0, or -1 for NULL. */
ZELK_API int32_t sysCalSemTake(sysCalSem *semaphore);

#ifdef __cplusplus
}
#endif

#endif /* ZELK_H */
