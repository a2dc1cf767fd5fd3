/* Preloaded into korv by the durable-receive tests: the one sync before QUIT
 * fails with EIO (QUORVEXIA_SYNCFS_FAULT=fail), or the process is killed
 * right in it (=kill); without the variable the real call runs. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>

int syncfs(int fd) {
    const char *mode = getenv("QUORVEXIA_SYNCFS_FAULT");
    if (mode && strcmp(mode, "kill") == 0) raise(SIGKILL);
    if (mode && strcmp(mode, "fail") == 0) {
        errno = EIO;
        return -1;
    }
    int (*real)(int) = (int (*)(int))dlsym(RTLD_NEXT, "syncfs");
    return real ? real(fd) : -1;
}
