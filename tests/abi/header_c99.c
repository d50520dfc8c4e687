/* The header alone, in strict C99. */
#include "zelk.h"

int headerC99(void);

int headerC99(void)
{
    zelkInfoBlock info;
    return zelkInfo(&info, (int)sizeof info) == 80 ? 0 : 1;
}
