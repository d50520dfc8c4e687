// The load-time driver check: a constructor that opens and closes the
// driver's device file and warns through the system log when it cannot.
#include "zelk.h"

#include <cerrno>

#include <unistd.h>

#include "common/status.h"
#include "driver/device.h"
#include "frame/log.h"

__attribute__((constructor)) int checkDriver(void)
{
    const zelk::detail::ErrnoSaver keepCallersErrno;
    const int fd = zelk::detail::openDeviceForCall();
    if (fd >= 0) {
        close(fd);
        return 0;
    }
    const int err = errno;

    // An application that calls the check again may have the system log on
    // already; only a destination switched on here is switched off again.
    const bool wasOn = zelk::detail::logToSyslogEnabled();
    if (!wasOn)
        zelkLogConfig(ZELK_LOG_TO_SYSLOG, "");
    zelkLog(0, "ZELK-library: Open on ZELK-driver failed (errno = %d)!\n", err);
    zelkLog(0, "ZELK-library: zelkChannel, zelkConnect and zelkMemProbe "
               "functions aren't usable!\n");
    if (!wasOn)
        zelkLogConfig(ZELK_LOG_TO_SYSLOG, nullptr);
    return 0;
}
