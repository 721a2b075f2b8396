/* A stranger's program that calls itself "pcscd": it waits until it is
 * killed, and if anyone runs it with "--ver" it leaves the file
 * "ran-with-ver" beside itself and prints a version of its own. When it
 * finds the file "leave-a-child" beside itself, it first starts a child,
 * named "decoy-child", that sleeps until it is killed. */
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

/* The path of name in the directory of this program, as this process's
 * mount namespace shows it; 0 when there is none. */
static int beside(const char* name, char* path, size_t size)
{
    const ssize_t length = readlink("/proc/self/exe", path, size);
    if (length <= 0 || (size_t)length >= size)
        return 0;
    path[length] = '\0';
    char* slash = strrchr(path, '/');
    if (slash == NULL || (size_t)(slash + 1 - path) + strlen(name) >= size)
        return 0;
    strcpy(slash + 1, name);
    return 1;
}

int main(int argc, char** argv)
{
    if (argc > 1 && strcmp(argv[1], "--ver") == 0) {
        char path[PATH_MAX];
        if (beside("leave-a-child", path, sizeof path) && access(path, F_OK) == 0 && fork() == 0) {
            prctl(PR_SET_NAME, "decoy-child");
            for (;;)
                pause();
        }
        if (beside("ran-with-ver", path, sizeof path)) {
            const int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            if (fd >= 0)
                close(fd);
        }
        puts("decoy version 6.6.6");
        return 0;
    }
    for (;;)
        pause();
}
