/* A preload library for the benchmark: it makes the image a slow drive and the copy's folder a slow target, so that a
 * copy shows whether it overlaps its reads with its writes.
 *
 * Every read of the file named SLOW_READS_PATH (pread, pread64, read) first sleeps SLOW_READ_US_PER_MIB
 * microseconds for each MiB it asks for, and every write to a file under the folder SLOW_WRITES_DIR (write, pwrite,
 * pwrite64) sleeps SLOW_WRITE_US_PER_MIB for each MiB it writes: a cost in proportion to the bytes, as a drive's
 * transfer time is, so that the request sizes of one tool or another do not change the total. Other files are read
 * and written at full speed. At exit the delays this process served are added, as "READ_SECONDS WRITE_SECONDS", to
 * the file SLOW_IO_REPORT when that is set: a copy that alternates takes at least their sum, one that overlaps
 * about the larger of the two. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

static _Atomic long long read_delay_ns;
static _Atomic long long write_delay_ns;

/* Where fd's file lies, into target; 0 when that cannot be told. */
static int path_of(int fd, char* target, size_t room)
{
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, room - 1);
    if (n <= 0)
        return 0;
    target[n] = '\0';
    return 1;
}

static int is_slow_source(int fd)
{
    const char* wanted = getenv("SLOW_READS_PATH");
    char target[PATH_MAX];
    return wanted != NULL && path_of(fd, target, sizeof target) && strcmp(target, wanted) == 0;
}

static int is_slow_target(int fd)
{
    const char* folder = getenv("SLOW_WRITES_DIR");
    char target[PATH_MAX];
    if (folder == NULL || !path_of(fd, target, sizeof target))
        return 0;
    size_t length = strlen(folder);
    return strncmp(target, folder, length) == 0 && target[length] == '/';
}

/* Sleeps for bytes at the rate the variable setting names, and adds the time to total. */
static void pause_for(const char* setting, size_t bytes, _Atomic long long* total)
{
    const char* value = getenv(setting);
    long long per_mib = value ? atoll(value) : 0;
    long long ns = (long long)((double)per_mib * 1000.0 * (double)bytes / 1048576.0);
    if (ns <= 0)
        return;
    atomic_fetch_add(total, ns);
    struct timespec wait = {(time_t)(ns / 1000000000), (long)(ns % 1000000000)};
    while (nanosleep(&wait, &wait) != 0) {
    }
}

static void* next_symbol(const char* name)
{
    return dlsym(RTLD_NEXT, name);
}

ssize_t pread(int fd, void* buffer, size_t count, off_t offset)
{
    static ssize_t (*real)(int, void*, size_t, off_t);
    if (real == NULL)
        real = (ssize_t(*)(int, void*, size_t, off_t))next_symbol("pread");
    if (is_slow_source(fd))
        pause_for("SLOW_READ_US_PER_MIB", count, &read_delay_ns);
    return real(fd, buffer, count, offset);
}

ssize_t pread64(int fd, void* buffer, size_t count, off_t offset)
{
    return pread(fd, buffer, count, offset);
}

ssize_t read(int fd, void* buffer, size_t count)
{
    static ssize_t (*real)(int, void*, size_t);
    if (real == NULL)
        real = (ssize_t(*)(int, void*, size_t))next_symbol("read");
    if (is_slow_source(fd))
        pause_for("SLOW_READ_US_PER_MIB", count, &read_delay_ns);
    return real(fd, buffer, count);
}

ssize_t write(int fd, const void* buffer, size_t count)
{
    static ssize_t (*real)(int, const void*, size_t);
    if (real == NULL)
        real = (ssize_t(*)(int, const void*, size_t))next_symbol("write");
    if (is_slow_target(fd))
        pause_for("SLOW_WRITE_US_PER_MIB", count, &write_delay_ns);
    return real(fd, buffer, count);
}

ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset)
{
    static ssize_t (*real)(int, const void*, size_t, off_t);
    if (real == NULL)
        real = (ssize_t(*)(int, const void*, size_t, off_t))next_symbol("pwrite");
    if (is_slow_target(fd))
        pause_for("SLOW_WRITE_US_PER_MIB", count, &write_delay_ns);
    return real(fd, buffer, count, offset);
}

ssize_t pwrite64(int fd, const void* buffer, size_t count, off_t offset)
{
    return pwrite(fd, buffer, count, offset);
}

__attribute__((destructor)) static void report(void)
{
    const char* path = getenv("SLOW_IO_REPORT");
    if (path == NULL)
        return;
    FILE* file = fopen(path, "a");
    if (file == NULL)
        return;
    fprintf(file, "%.4f %.4f\n", (double)atomic_load(&read_delay_ns) / 1e9, (double)atomic_load(&write_delay_ns) / 1e9);
    fclose(file);
}
