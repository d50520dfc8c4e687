// What the rest of the library may ask of the log facility.
#ifndef ZELK_FRAME_LOG_H
#define ZELK_FRAME_LOG_H

namespace zelk::detail {

// True while messages are also sent to the system log.
bool logToSyslogEnabled();

} // namespace zelk::detail

#endif
