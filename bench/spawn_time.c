/* Runs a command and writes its wall time in microseconds, from the spawn to the end of
 * the wait, to the file named first. The command is started with posix_spawnp, so the
 * time holds the command's own start-up and work and not the copy of a shell that a
 * fork from the benchmark script would make first. Exits with the command's status.
 *
 * Usage: spawn_time TIME-FILE COMMAND [ARGUMENT...]
 */
#include <spawn.h>
#include <stdio.h>
#include <sys/wait.h>
#include <time.h>

extern char** environ;

static long long microseconds(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000000 + now.tv_nsec / 1000;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fputs("usage: spawn_time TIME-FILE COMMAND [ARGUMENT...]\n", stderr);
        return 2;
    }
    const long long start = microseconds();
    pid_t child;
    if (posix_spawnp(&child, argv[2], NULL, NULL, argv + 2, environ) != 0) {
        perror(argv[2]);
        return 127;
    }
    int status;
    if (waitpid(child, &status, 0) != child)
        return 127;
    const long long elapsed = microseconds() - start;
    FILE* out = fopen(argv[1], "w");
    if (out == NULL || fprintf(out, "%lld\n", elapsed) < 0 || fclose(out) != 0)
        return 127;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
