/* Preloaded after libumockdev-preload into the program under test.
 *
 * umockdev wraps stat() and friends but not fstat(), so fstat() on an opened
 * emulated device node reports the FIFO behind it (S_IFIFO, st_rdev 0).
 * hidapi finds the udev device of an open handle from fstat()'s st_rdev (the
 * manufacturer and product strings), so report the character device that the
 * testbed records for the node in <root>/dev/.node/<name> ("major:minor").
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

static void as_char_device(int fd, struct stat* st) {
    const char* root = getenv("UMOCKDEV_DIR");
    if (!root || (!S_ISFIFO(st->st_mode) && !S_ISREG(st->st_mode)))
        return;

    char link[64];
    char target[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    /* The raw system call: readlink() itself is wrapped by the umockdev preload. */
    ssize_t n = syscall(SYS_readlink, link, target, sizeof target - 1);
    if (n <= 0)
        return;
    target[n] = '\0';

    const size_t rootLength = strlen(root);
    if (strncmp(target, root, rootLength) != 0 || strncmp(target + rootLength, "/dev/", 5) != 0)
        return;

    /* <root>/dev/.node/<node name with '/' turned into '_'> */
    char info[PATH_MAX];
    const int prefix = snprintf(info, sizeof info, "%s/dev/.node/", root);
    if (prefix < 0 || (size_t)prefix >= sizeof info)
        return;
    snprintf(info + prefix, sizeof info - (size_t)prefix, "%s", target + rootLength + 5);
    for (char* p = info + prefix; *p; ++p)
        if (*p == '/')
            *p = '_';

    char numbers[64];
    n = syscall(SYS_readlink, info, numbers, sizeof numbers - 1);
    if (n <= 0)
        return;
    numbers[n] = '\0';
    unsigned major_number = 0;
    unsigned minor_number = 0;
    if (sscanf(numbers, "%u:%u", &major_number, &minor_number) != 2)
        return;
    st->st_mode = S_IFCHR | (st->st_mode & 07777);
    st->st_rdev = makedev(major_number, minor_number);
}

int fstat(int fd, struct stat* st) {
    static int (*real_fstat)(int, struct stat*);
    if (!real_fstat)
        real_fstat = (int (*)(int, struct stat*))dlsym(RTLD_NEXT, "fstat");
    const int result = real_fstat(fd, st);
    if (result == 0)
        as_char_device(fd, st);
    return result;
}

/* On 64-bit glibc both names share one struct layout. */
int fstat64(int fd, struct stat64* st) __attribute__((alias("fstat")));
