/* The floor for the benchmark: makes the copy that m4afix makes of a recording shaped
 * like make_recording.py's, with as few system calls as Linux allows and no checks
 * beyond what finding the two fields needs. Per file: open and stat the input, read its
 * file-type box and the header after it, then its movie box, make an unnamed file in
 * the folder, reserve its room when it is large, copy in the kernel, write the major
 * brand and the two bit-rate fields, set the times, link the file under its name, close
 * both. On ext4 a large copy into reserved room takes about a third less time; for
 * small files the reservation costs more than it saves. Where the file system makes no
 * unnamed file (exFAT through FUSE), the copy is made under a hidden name and renamed.
 *
 * With -s the copies are durable the simple way: each copy's data is synced before its
 * name is made, and its folder right after, file after file.
 *
 * Usage: floor [-s] FILE...   (each FILE.ext gives FILE.m4a, which must not exist)
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum { movie_limit = 64 * 1024 };
static const off_t reserve_min_size = 2 << 20;
static int durable;

static void fail(const char* path, const char* what) {
    fprintf(stderr, "floor: %s: %s failed\n", path, what);
    exit(1);
}

static uint32_t be32(const unsigned char* p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

/* A descriptor's length in the "esds" payload: up to four bytes of seven bits. */
static size_t skip_length(const unsigned char* p, size_t at, size_t end) {
    for (int i = 0; i < 4 && at < end; ++i)
        if ((p[at++] & 0x80) == 0)
            break;
    return at;
}

/* The offset in `movie` of the decoder configuration's maximum bit-rate field. */
static size_t bitrate_fields(const unsigned char* movie, size_t size, const char* path) {
    const unsigned char* esds = memmem(movie, size, "esds", 4);
    if (esds == NULL)
        fail(path, "finding esds");
    size_t at = (size_t)(esds - movie) + 4 + 4; /* type, version and flags */
    if (at >= size || movie[at] != 0x03)
        fail(path, "finding the stream descriptor");
    at = skip_length(movie, at + 1, size) + 3; /* the stream's id and flags */
    if (at >= size || movie[at] != 0x04)
        fail(path, "finding the decoder configuration");
    at = skip_length(movie, at + 1, size) + 5; /* object type, stream type, buffer size */
    if (at + 8 > size)
        fail(path, "reading the bit rates");
    return at;
}

static void convert(const char* path) {
    const int in = open(path, O_RDONLY | O_CLOEXEC);
    struct stat status;
    if (in < 0 || fstat(in, &status) != 0)
        fail(path, "open");

    /* The file-type box and the header of the media data box after it. */
    unsigned char head[64];
    if (pread(in, head, sizeof head, 0) < 40)
        fail(path, "reading the file-type box");
    const uint32_t type_size = be32(head);
    const off_t movie_at = (off_t)type_size + be32(head + type_size);
    unsigned char movie[movie_limit];
    const ssize_t movie_size = pread(in, movie, sizeof movie, movie_at);
    if (movie_size < 8 || memcmp(movie + 4, "moov", 4) != 0)
        fail(path, "reading the movie box");
    const size_t fields = bitrate_fields(movie, (size_t)movie_size, path);
    const uint32_t average = be32(movie + fields + 4);
    const uint32_t rounded = (uint32_t)(((uint64_t)average + 500) / 1000 * 1000);
    const unsigned char rates[8] = {rounded >> 24, rounded >> 16, rounded >> 8, rounded,
                                    rounded >> 24, rounded >> 16, rounded >> 8, rounded};

    char folder[4096];
    char output[4096];
    const char* slash = strrchr(path, '/');
    const char* dot = strrchr(path, '.');
    if (slash != NULL)
        snprintf(folder, sizeof folder, "%.*s", (int)(slash - path), path);
    else
        strcpy(folder, ".");
    snprintf(output, sizeof output, "%.*s.m4a", (int)(dot - path), path);

    const char* name = strrchr(output, '/');
    char hidden[4096 + 16];
    snprintf(hidden, sizeof hidden, "%s/.%s.floor", folder, name != NULL ? name + 1 : output);
    int out = open(folder, O_TMPFILE | O_WRONLY | O_CLOEXEC, status.st_mode & 0777);
    const int named = out < 0;
    if (named)
        out = open(hidden, O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, status.st_mode & 0777);
    if (out < 0)
        fail(path, "open of the new file");
    if (status.st_size >= reserve_min_size)
        fallocate(out, FALLOC_FL_KEEP_SIZE, 0, status.st_size);
    off_t in_offset = 0;
    off_t out_offset = 0;
    while (in_offset < status.st_size) {
        const ssize_t moved = copy_file_range(in, &in_offset, out, &out_offset,
                                              (size_t)(status.st_size - in_offset), 0);
        if (moved <= 0)
            fail(path, "copy_file_range");
    }
    if (pwrite(out, "M4A ", 4, 8) != 4 ||
        pwrite(out, rates, sizeof rates, movie_at + (off_t)fields) != sizeof rates)
        fail(path, "write");
    const struct timespec times[2] = {status.st_atim, status.st_mtim};
    if (futimens(out, times) != 0)
        fail(path, "futimens");
    if (durable && fdatasync(out) != 0)
        fail(path, "fdatasync");
    if (named) {
        if (rename(hidden, output) != 0)
            fail(path, "rename");
    } else if (linkat(out, "", AT_FDCWD, output, AT_EMPTY_PATH) != 0) {
        char proc_path[32];
        snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", out);
        if (linkat(AT_FDCWD, proc_path, AT_FDCWD, output, AT_SYMLINK_FOLLOW) != 0)
            fail(path, "linkat");
    }
    if (durable) {
        const int names = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (names < 0 || fsync(names) != 0 || close(names) != 0)
            fail(path, "fsync of the folder");
    }
    if (close(out) != 0 || close(in) != 0)
        fail(path, "close");
}

int main(int argc, char* argv[]) {
    durable = argc > 1 && strcmp(argv[1], "-s") == 0;
    if (argc < 2 + durable) {
        fputs("usage: floor [-s] FILE...\n", stderr);
        return 2;
    }
    for (int i = 1 + durable; i < argc; ++i)
        convert(argv[i]);
    return 0;
}
