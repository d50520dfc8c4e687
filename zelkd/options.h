// zelkd's command line.
#ifndef ZELKD_OPTIONS_H
#define ZELKD_OPTIONS_H

#include <string>

#include "core.h"
#include "fuse_device.h"

namespace zelkd {

struct Options {
    std::string device = "/dev/zelk";
    bool foreground = false;
    int verbosity = 1;
    bool syslog = false; // default: standard error in the foreground only
    bool logChosen = false;
    FileAttributes attrs;
    Limits limits;
    // The channel policy: --policy FILE, or the default file when it exists.
    std::string policy = "/etc/zelk/policy.conf";
    bool policyGiven = false;
    bool inheritance = true; // raise servers to their senders' priority
    std::string control = "/run/zelk/zelkd.sock"; // "" for none
    bool help = false;
    bool version = false;
};

// Parses argv into options. Returns "" or what is wrong.
std::string parseOptions(int argc, char **argv, Options &options);

void printUsage(FILE *out);

} // namespace zelkd

#endif
