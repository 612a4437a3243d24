/* park.c: set 1,000 records aside in a spill file and read them back in order. The spill
 * file is created as PREFIX.1 (or the first free number) and its name removed at once. */
#include <spill_file.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char **argv) {
    spill_file_t sf;
    bam1_t *b = bam_init1();
    long bytes = 0;
    int i, n = -1, count = 0, ok = 0;
    if (argc != 2 || !b) {
        fprintf(stderr, "usage: park PREFIX\n");
        bam_destroy1(b);
        return 1;
    }
    if (spill_file_open_write(&sf, argv[1], 1) != 0) goto done;
    printf("spilling to %s (name already removed)\n", sf.name);
    for (i = 0; i < 1000; i++) {
        char name[16];
        snprintf(name, sizeof name, "read%d", i);
        if (bam_set1(b, strlen(name), name, 4, -1, -1, 0, 0, NULL, -1, -1, 0, 4, "ACGT", "IIII",
                     0) < 0 ||
            spill_file_write(&sf, b) != 0)
            goto done;
    }
    if (spill_file_end_write(&sf) != 0 || spill_file_begin_read(&sf, b) != 0) goto done;
    while ((n = spill_file_read(&sf, b)) > 0) {
        count++;
        bytes += n;
    }
    if (n == 0) {
        printf("read back %d records, %ld bytes of record images, last %s, %zu groups\n", count,
               bytes, bam_get_qname(b), sf.groups_written);
        ok = 1;
    }
done:
    /* Destroy releases the handle in every state, even after a failed open-write. It
     * returns -2 only when asked to remove a name, which open-write has already done. */
    if (spill_file_destroy(&sf, b, 0) != 0) ok = 0;
    bam_destroy1(b);
    return ok ? 0 : 1;
}
