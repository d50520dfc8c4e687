// The C library's gettid declaration before the header, in C++11.
#include <unistd.h>

#include "zelk.h"

extern "C" int headerCxx11(void);

int headerCxx11(void)
{
    return gettid() > 0 ? 0 : 1;
}
