/* Byte order: a record reversed field by field and back. */
#include "demo.h"

#include <stdio.h>
#include <string.h>

/* A measurement record as it travels between machines of either byte
 * order, and its layout descriptor: one entry per field, the text as single
 * bytes so that it is not reversed. */
typedef struct sample {
    uint32_t id;
    uint16_t channel;
    uint16_t flags;
    uint64_t timestamp;
    char tag[8];
} sample;
ZELK_STATIC_ASSERT(sizeof(sample) == 24, "sample is 24 bytes");
static const char sampleLayout[] = {4, 2, 2, 8, 1, 1, 1, 1, 1, 1, 1, 1, 0};

static void showBytes(const char *what, const void *record, size_t size)
{
    const unsigned char *bytes = record;
    char text[3 * 32 + 1] = "";
    for (size_t i = 0; i < size && i < 32; ++i)
        snprintf(text + 3 * i, 4, "%02x ", bytes[i]);
    zelkLog(0, "%-10s %s\n", what, text);
}

void showConversion(void)
{
    const sample native = {0x12345678u, 0x0102, 0x8000, 1700000000123ull,
                           "sensor1"};
    sample wire, back;
    zelkObjectCopy(&native, &wire, sampleLayout, 1);
    zelkObjectCopy(&wire, &back, sampleLayout, 1);
    showBytes("this host", &native, sizeof native);
    showBytes("reversed", &wire, sizeof wire);
    zelkLog(0, "reversed twice, the record is %s\n",
            memcmp(&native, &back, sizeof native) == 0 ? "the same again"
                                                       : "DIFFERENT");
}
