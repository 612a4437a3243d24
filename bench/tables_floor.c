/* The I/O floor of the table programs: read each line with getline and write it with one
 * write(2), nothing else. Usage: tables_floor IN OUT */
#define _POSIX_C_SOURCE 200809L
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc < 3) return 2;
    FILE *in = fopen(argv[1], "r");
    int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!in || out < 0) return 1;
    char *line = NULL;
    size_t cap = 0;
    ssize_t n;
    while ((n = getline(&line, &cap, in)) > 0) {
        if (line[n - 1] != '\n') line[n++] = '\n'; /* getline leaves room for the NUL */
        if (write(out, line, (size_t)n) != n) return 1;
    }
    free(line);
    fclose(in);
    return close(out) != 0;
}
