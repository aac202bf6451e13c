/* A neighbour for the benchmark: another program in the folder of an m4afix -w run that
 * swaps the input for a file of its own at the worst moment it can see. It watches
 * FOLDER, creates READY once it does, and the moment STEM.m4a appears (the output name
 * that the run reserves where the file system can neither link nor rename without
 * replacing) it moves STEM.3gp aside to STEM.aside and writes "mine" under STEM.3gp.
 * A run that then renames STEM.3gp to STEM.m4a has moved the neighbour's file. Exits 1
 * when nothing appears within ten seconds.
 *
 * Usage: neighbour FOLDER STEM READY
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <unistd.h>

int main(int argc, char* argv[]) {
    if (argc != 4) {
        fputs("usage: neighbour FOLDER STEM READY\n", stderr);
        return 2;
    }
    char output[256];
    char input[4096];
    char aside[4096];
    snprintf(output, sizeof output, "%s.m4a", argv[2]);
    snprintf(input, sizeof input, "%s/%s.3gp", argv[1], argv[2]);
    snprintf(aside, sizeof aside, "%s/%s.aside", argv[1], argv[2]);
    const int watch = inotify_init1(IN_CLOEXEC);
    if (watch < 0 || inotify_add_watch(watch, argv[1], IN_CREATE) < 0 ||
        close(open(argv[3], O_WRONLY | O_CREAT | O_CLOEXEC, 0644)) != 0)
        return 2;
    char events[4096] __attribute__((aligned(__alignof__(struct inotify_event))));
    struct pollfd ready = {watch, POLLIN, 0};
    while (poll(&ready, 1, 10000) == 1) {
        const ssize_t got = read(watch, events, sizeof events);
        for (ssize_t at = 0; at < got;) {
            const struct inotify_event* event = (const struct inotify_event*)(events + at);
            if (event->len > 0 && strcmp(event->name, output) == 0) {
                if (rename(input, aside) != 0)
                    return 0;
                const int own = open(input, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
                return own >= 0 && write(own, "mine", 4) == 4 && close(own) == 0 ? 0 : 1;
            }
            at += (ssize_t)sizeof *event + event->len;
        }
    }
    return 1;
}
