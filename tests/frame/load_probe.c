/* Loads libzelk and does nothing else: its constructor is what is observed. */
#include "zelk.h"

int main(void)
{
    zelkInfoBlock info;
    return zelkInfo(&info, (int)sizeof info) == 80 ? 0 : 1;
}
