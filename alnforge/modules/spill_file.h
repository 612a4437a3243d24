/* spill_file: a private, LZ4-compressed temporary file that parks alignment records on disk
 * and hands them back in the order they were appended.
 *
 * Conventions:
 *  1. The handle is storage the caller provides (static, automatic or allocated); the module
 *     fills every field in spill_file_open_write() and releases what it allocated in
 *     spill_file_destroy(). The handle is not freed by the module. Fields are readable by the
 *     caller but are written only by the module.
 *  2. Every function returns 0 (or, for spill_file_read(), a positive record size) on success
 *     and a negative code on failure: -1 memory, -2 file, -3 compression or corrupt data.
 *     spill_file_destroy() may also return EOF when closing the stream fails.
 *  3. Messages are written to standard error only when the handle's `verbose` is nonzero; each
 *     begins "[spill_file] Error: " and ends in a newline. Results never depend on `verbose`.
 *  4. Calling order: open-write; write any number of times; then either end-write, begin-read,
 *     read until the result is 0 or less, destroy with delete 0; or close-write, open-read (only
 *     for a file that still exists under `name`), read, destroy. Reading begins only after
 *     writing has ended: begin-read before end-write, or open-read before close-write, is
 *     refused with -2 (and a message when `verbose` is set) and changes nothing, neither the
 *     records written so far nor the caller's record; the write can then be ended and read
 *     back as usual. After any other failure the caller stops using the handle except to
 *     destroy it; destroy is safe in every state, including after a failed open-write, and
 *     on a handle that has already been destroyed.
 *  5. The file is created under "<prefix>.<n>" (n = 1, 2, ... 99999, the first name that does
 *     not exist, created exclusively with mode 0600) and its name is removed from the directory
 *     at once: the data live as long as the open stream and never outlast the process.
 *  6. Records are the caller's. spill_file_write() only reads its record. While reading, the
 *     caller's record borrows a data buffer owned by the handle: after each successful read the
 *     record's `data` points to it, `m_data` is its real capacity and the record is marked
 *     BAM_USER_OWNS_DATA, so an htslib call that needs more room copies the data into a buffer
 *     of the record's own instead of reallocating the borrowed one. The borrowed buffer stays
 *     valid until the next read (which may move it) or destroy. spill_file_begin_read() and
 *     spill_file_open_read() free the record's own data buffer (unless the record is marked
 *     BAM_USER_OWNS_DATA) and leave `data` null. A buffer the record has come to own since
 *     (one htslib made when it needed room) is freed by the next successful read or by
 *     destroy. Destroy leaves `data` null and `l_data` and `m_data` 0. Pass the same record to
 *     begin-read or open-read, to every read and to destroy. After a failed read the record
 *     is left as it was.
 *  7. Threads: a handle must not be shared between threads without the caller's lock.
 *     Distinct handles are independent and may be used at once from different threads, under
 *     the same name prefix too (see 5). The module keeps no process-wide state and changes
 *     none of htslib's (it uses only the bam1_t record and its data-ownership flag).
 *
 * File format: a sequence of groups, each an 8-byte compressed length (host order, never 0)
 * followed by that many bytes of one LZ4 block, then 8 zero bytes. The blocks form one LZ4
 * stream (each may refer back to 64 KiB of the groups before it). A group decompresses to up
 * to 100 record images; an image is a 64-byte head followed by the record's `l_data` bytes:
 *     0 tid (int32)            4 pos, low 32 bits       8 bin (uint16)    10 qual (uint8)
 *    11 l_qname, low byte     12 flag (uint16)         14 l_qname, high byte
 *    15 l_extranul (uint8)    16 n_cigar (uint32)      20 l_qseq (int32) 24 mtid (int32)
 *    28 mpos, low 32 bits     32 isize, low 32 bits    36 l_data (int32) 40 m_data (uint32)
 *    44 pos, high 32 bits     48 mpos, high 32 bits    52 isize, high 32 bits
 *    56 id (uint64)
 * All integers are little-endian (host order on x86-64). The file does not record the buffer
 * sizes, so it can be read back only through the handle that wrote it.
 */
#ifndef ALNFORGE_SPILL_FILE_H
#define ALNFORGE_SPILL_FILE_H

#include <htslib/sam.h>
#include <lz4.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "alnforge_attr.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct spill_file_t {
    FILE *fp;                    /* the open spill file; null when closed */
    LZ4_stream_t *stream;        /* compression stream; null once writing has ended */
    LZ4_streamDecode_t *dstream; /* decoding stream; null until reading begins */
    size_t data_size;            /* capacity of `data` */
    size_t max_data_size;        /* largest uncompressed group the buffers are sized for */
    size_t ring_buffer_size;     /* capacity of `ring_buffer`; never shrinks */
    size_t comp_buffer_size;     /* capacity of `comp_buffer` */
    size_t offset;               /* start of the current group (writer) or next image (reader) */
    uint8_t *data;               /* reader: the data buffer lent to the caller's record */
    uint8_t *ring_buffer;        /* uncompressed groups */
    uint8_t *ring_index;         /* the record image or group last placed or taken */
    char *comp_buffer;           /* one compressed group */
    char *name;                  /* the file name made by open-write */
    size_t group_size;           /* records per group: 100 */
    size_t input_size;           /* writer: bytes of images in the group being assembled */
    size_t read_size;            /* reader: bytes of the current group handed out */
    size_t output_size;          /* reader: decompressed size of the current group */
    size_t entry_number;         /* records assembled (writer) or handed out (reader);
                                    SIZE_MAX once the reader has met the terminator */
    int verbose;                 /* nonzero: messages are printed */
    char *dict;                  /* 64 KiB save area for the compression history, or null */
    size_t groups_written;       /* groups written so far */
} spill_file_t;

/* Fills the handle and creates the file "<tmp_name>.<n>" (see convention 5). The handle's
 * earlier contents are ignored. Returns 0, -1 (memory) or -2 (no file could be created). On
 * failure the handle still holds what was allocated: release it with spill_file_destroy(). */
ALNFORGE_RESULT_USED int spill_file_open_write(spill_file_t *sf, const char *tmp_name, int verbose);

/* Appends a copy of `inbam` (its core fields, `id`, `l_data`, `m_data` and the `l_data` bytes
 * at `data`); the record is not changed. Every 100th append compresses and writes a group.
 * Returns 0, -1 (memory), -2 (write failed) or -3 (compression failed, or a record whose
 * `l_data` is negative or whose `data` is null with `l_data` above 0). */
ALNFORGE_RESULT_USED int spill_file_write(spill_file_t *sf, bam1_t *inbam);

/* Writes the pending group and the terminator, flushes the stream and releases the compression
 * stream. The stream stays open for spill_file_begin_read(). The flush is checked: buffered
 * bytes that cannot reach the file (a full disk, say) give -2, never a file that passes for
 * complete. Returns 0, -1, -2 or -3. */
ALNFORGE_RESULT_USED int spill_file_end_write(spill_file_t *sf);

/* Writes the pending group and the terminator and closes the stream, which discards a file
 * made by open-write (its name is already gone). Returns 0, -1, -2 or -3. */
ALNFORGE_RESULT_USED int spill_file_close_write(spill_file_t *sf);

/* Rewinds the stream left open by spill_file_end_write() and prepares to read. `inbam` may be
 * null; see convention 6 for what happens to its data. Returns 0, -1 (memory) or -2 (the
 * handle has no open stream, or its writing has not ended: nothing is changed then). */
ALNFORGE_RESULT_USED int spill_file_begin_read(spill_file_t *sf, bam1_t *inbam);

/* Opens the file under the handle's `name` for reading (after spill_file_close_write()) and
 * prepares to read as spill_file_begin_read() does. Returns 0, -1 or -2 (cannot be opened,
 * or writing has not ended: nothing is changed then). */
ALNFORGE_RESULT_USED int spill_file_open_read(spill_file_t *sf, bam1_t *inbam);

/* Fills `inbam` (not null) with the next record. Returns the record's image size
 * (64 + l_data, always above 0), 0 at the end (and on every later call), or -1, -2 or -3 on
 * failure; a file whose contents do not match what the handle wrote gives a negative result,
 * never a read or write outside the handle's buffers. Only the 8-byte terminator ends the
 * data: a file that ends, or a read that fails, before the terminator gives -2 (records were
 * lost), with a message when `verbose` is set. After any failure `inbam` is left as it was. */
ALNFORGE_RESULT_USED int spill_file_read(spill_file_t *sf, bam1_t *inbam);

/* Closes the stream (unless already closed), removes `name` when `delete_file` is nonzero, and
 * releases everything the handle holds. `inbam` may be null; otherwise its `data` becomes null
 * and its `l_data` and `m_data` 0. Returns 0; -2 when `name` could not be removed (always the
 * case for a file made by open-write, whose name is gone); or EOF when closing failed, in which
 * case no removal is tried. */
ALNFORGE_RESULT_USED int spill_file_destroy(spill_file_t *sf, bam1_t *inbam, int delete_file);

#ifdef __cplusplus
}
#endif

#endif
