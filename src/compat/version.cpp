// The sysCal interface's version number and text.
#include "zelk.h"

#include <cstring>

namespace {

constexpr uint16_t kVersion = 0x1008;

// 22 characters and 8 zero bytes: exactly what callers' 30-byte fields get.
constexpr char kVersionText[30] = "POSIX system interface";
static_assert(sizeof("POSIX system interface") == 23);

} // namespace

const uint16_t sysVersion = kVersion;

int32_t sysCalGetVersion(uint16_t *version, char *text)
{
    if (version != nullptr)
        *version = kVersion;
    if (text != nullptr)
        std::memcpy(text, kVersionText, sizeof kVersionText);
    return 0;
}
