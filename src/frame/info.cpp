// Library information (zelkInfo) and the exported kernel thread id (gettid).
#include "zelk.h"

#include <cstdio>
#include <cstring>

#include <sys/syscall.h>
#include <unistd.h>

#include "common/status.h"

// ZELK_VERSION_{MAJOR,MINOR,PATCH} and ZELK_COMPILER_VERSION come from the
// build, which holds the one definition of the version.
static_assert(ZELK_VERSION_MAJOR < 16 && ZELK_VERSION_MINOR < 16 &&
                  ZELK_VERSION_PATCH < 256,
              "the info block's version field holds one hex digit for major "
              "and minor and one byte for the patch level");

namespace {

constexpr uint16_t kInfoVersion =
    (ZELK_VERSION_MAJOR << 12) | (ZELK_VERSION_MINOR << 8) | ZELK_VERSION_PATCH;

} // namespace

int zelkInfo(zelkInfoBlock *info, int size)
{
    if (info == nullptr || size < static_cast<int>(sizeof(zelkInfoBlock)))
        return zelk::detail::fail(EINVAL);

    info->flags |= 1;
    info->version = kInfoVersion;

    char scratch[256];
    snprintf(scratch, sizeof scratch, "%s with GCC %s", __DATE__,
             ZELK_COMPILER_VERSION);
    // At most 63 characters, then zero bytes to the end of the field, whose
    // last byte is always the terminator.
    const size_t length = strnlen(scratch, sizeof info->buildText - 1);
    memcpy(info->buildText, scratch, length);
    memset(info->buildText + length, 0, sizeof info->buildText - length);
    return static_cast<int>(sizeof(zelkInfoBlock));
}

int gettid(void) noexcept
{
    return static_cast<int>(syscall(SYS_gettid));
}
