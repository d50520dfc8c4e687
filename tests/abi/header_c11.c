/* The header before the C library's own gettid declaration, in C11. */
#define _GNU_SOURCE 1
#include "zelk.h"

#include <sys/types.h>
#include <unistd.h>

int headerC11(void);

int headerC11(void)
{
    return gettid() > 0 ? 0 : 1;
}
