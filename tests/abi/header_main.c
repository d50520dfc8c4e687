/* Links the four header checks into one program and runs them. */
#include <stdio.h>

int headerC99(void);
int headerC11(void);
int headerCxx11(void);
int headerCxx20(void);

int main(void)
{
    const int failed = headerC99() + headerC11() + headerCxx11() + headerCxx20();
    printf("%d of 4 header checks failed\n", failed);
    return failed == 0 ? 0 : 1;
}
