/* A stranger's program that calls itself "pcscd": it waits until it is
 * killed, and if anyone runs it with "--ver" it leaves the file
 * "ran-with-ver" beside itself and prints a version of its own. */
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc > 1 && strcmp(argv[1], "--ver") == 0) {
        char path[PATH_MAX];
        const char marker[] = "ran-with-ver";
        const ssize_t length = readlink("/proc/self/exe", path, sizeof path - sizeof marker);
        if (length <= 0)
            return 1;
        path[length] = '\0';
        char* slash = strrchr(path, '/');
        if (slash == NULL)
            return 1;
        memcpy(slash + 1, marker, sizeof marker);
        const int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0)
            close(fd);
        puts("decoy version 6.6.6");
        return 0;
    }
    for (;;)
        pause();
}
