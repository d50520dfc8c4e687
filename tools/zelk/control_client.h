// Asks zelkd for its status over the control socket.
#ifndef ZELK_TOOLS_CONTROL_CLIENT_H
#define ZELK_TOOLS_CONTROL_CLIENT_H

#include <string>

namespace zelktool {

inline constexpr const char *kDefaultSocket = "/run/zelk/zelkd.sock";

enum class Fetch { Ok, NotRunning, Failed };

// Sends "status" and reads the whole answer into out; on failure out says
// why.
Fetch fetchStatus(const std::string &socketPath, std::string &out);

} // namespace zelktool

#endif
