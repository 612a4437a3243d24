/* error_line.c: count the lines of each file named; a file that cannot be read is reported
 * as an alnforge error line and the exit status becomes 1, but the other files are still
 * counted. */
#include <report_util.h>
#include <stdio.h>

int main(int argc, char **argv) {
    int i, c, status = 0;
    if (argc < 2) {
        print_error("error_line", "no file named (usage: error_line FILE...)");
        return 1;
    }
    for (i = 1; i < argc; i++) {
        long lines = 0;
        FILE *fp = fopen(argv[i], "r");
        if (!fp) {
            print_error_errno("error_line", "cannot open %s", argv[i]);
            status = 1;
            continue;
        }
        while ((c = getc(fp)) != EOF)
            if (c == '\n') lines++;
        if (ferror(fp)) {
            print_error("error_line", "cannot read %s", argv[i]);
            status = 1;
        } else {
            printf("%s: %ld lines\n", argv[i], lines);
        }
        fclose(fp);
    }
    return status;
}
