/*
 * A program that uses an installed libzelk the way an application does:
 * the public header only, built through pkg-config or find_package. It
 * fails unless the library it runs with is the expected version, mapped
 * from the expected directory (not, say, from the build tree).
 *
 * Usage: consumer <directory of libzelk.so.2> <version x.y.z>
 */
#include <zelk.h>

#include <stdio.h>
#include <string.h>

/* Copies the path of the mapped libzelk.so.2 into path; 0 when found. */
static int mappedLibrary(char *path, size_t size)
{
    FILE *maps = fopen("/proc/self/maps", "r");
    char line[4096];
    int rc = -1;
    if (maps == NULL)
        return -1;
    while (rc != 0 && fgets(line, sizeof line, maps) != NULL) {
        const char *file = strchr(line, '/');
        if (file != NULL && strstr(file, "/libzelk.so.2") != NULL) {
            snprintf(path, size, "%.*s", (int)strcspn(file, "\n"), file);
            rc = 0;
        }
    }
    fclose(maps);
    return rc;
}

int main(int argc, char **argv)
{
    zelkInfoBlock info;
    zelkTime now = 0;
    char version[16];
    char path[4096];
    size_t dirLength;

    if (argc != 3) {
        fputs("usage: consumer <library directory> <version>\n", stderr);
        return 2;
    }
    if (zelkInfo(&info, (int)sizeof info) != (int)sizeof info ||
        zelkTimeGet(&now) != 0 || now == 0) {
        fputs("consumer: libzelk calls failed\n", stderr);
        return 1;
    }
    snprintf(version, sizeof version, "%x.%x.%x", info.version >> 12,
             (info.version >> 8) & 0xFu, info.version & 0xFFu);
    if (mappedLibrary(path, sizeof path) != 0) {
        fputs("consumer: libzelk.so.2 is not mapped\n", stderr);
        return 1;
    }
    printf("libzelk %s (%s) from %s\n", version, info.buildText, path);

    dirLength = strlen(argv[1]);
    if (strncmp(path, argv[1], dirLength) != 0 || path[dirLength] != '/' ||
        strchr(path + dirLength + 1, '/') != NULL) {
        fprintf(stderr, "consumer: expected the library from %s\n", argv[1]);
        return 1;
    }
    if (strcmp(version, argv[2]) != 0) {
        fprintf(stderr, "consumer: expected version %s\n", argv[2]);
        return 1;
    }
    return 0;
}
