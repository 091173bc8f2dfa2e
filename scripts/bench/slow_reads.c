/* A preload library for the benchmark: every pread of the file named by SLOW_READS_PATH first sleeps
 * SLOW_READS_MICROSECONDS (default 2000), as a slow drive would, so that a copy shows whether it overlaps its
 * reads with its writes. Other files are read at full speed. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

static ssize_t (*real_pread)(int, void*, size_t, off_t);

static int is_slow_file(int fd)
{
    const char* wanted = getenv("SLOW_READS_PATH");
    char link[64], target[PATH_MAX];
    if (wanted == NULL)
        return 0;
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0)
        return 0;
    target[n] = '\0';
    return strcmp(target, wanted) == 0;
}

static void pause_a_while(void)
{
    const char* setting = getenv("SLOW_READS_MICROSECONDS");
    long micro = setting ? atol(setting) : 2000;
    struct timespec wait = {micro / 1000000, (micro % 1000000) * 1000};
    while (nanosleep(&wait, &wait) != 0) {
    }
}

ssize_t pread(int fd, void* buffer, size_t count, off_t offset)
{
    if (real_pread == NULL)
        real_pread = (ssize_t(*)(int, void*, size_t, off_t))dlsym(RTLD_NEXT, "pread");
    if (is_slow_file(fd))
        pause_a_while();
    return real_pread(fd, buffer, count, offset);
}

ssize_t pread64(int fd, void* buffer, size_t count, off_t offset)
{
    return pread(fd, buffer, count, offset);
}
