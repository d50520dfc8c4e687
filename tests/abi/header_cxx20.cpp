// The header before the C library's gettid declaration, in C++20.
#include "zelk.h"

#include <unistd.h>

extern "C" int headerCxx20(void);

int headerCxx20(void)
{
    zelkTime now = 0;
    return zelkTimeGet(&now) == 0 && now > 0 ? 0 : 1;
}
