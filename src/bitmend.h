// Bitmend: patch bytes of an existing file in place.
#ifndef BITMEND_H
#define BITMEND_H

#include <cstddef>
#include <cstdint>

// The entry routine: banner, argument checks, then one patch run.
// Returns the exit status, which is 0 on every path.
int bitmend_main(int argc, char *argv[]);

// Decimal text to a signed 32-bit number the way base-10 strtol reads it
// where long is 32 bits wide: saturating, never wrapping.
int32_t read_decimal32(const char *text);

// Whether hex_count digits are enough for length bytes: twice length,
// wrapped to 32 bits, compared unsigned.
bool has_enough_hex(size_t hex_count, int32_t length);

// The byte spelled by pair[0] (high) and pair[1] (low); 0x00 unless both
// are hex digits.
uint8_t decode_hex_pair(const char *pair);

// Overwrites length bytes at address with the bytes hex spells and reports
// each byte on standard output. hex holds at least 2 * length characters.
void run_patch(const char *path, int32_t address, int32_t length,
               const char *hex);

// The report, gathered in a block buffer. A format holds at most one
// conversion: %s for text, %d or %x for a number.
void report(const char *format);
void report(const char *format, const char *text);
void report(const char *format, uint32_t number);
// For each of count bytes from first_index at first_offset, the line
// "(index).Offset 0xoffset:  [0xold]->[0xnew]...", then "OK\n" if ok.
void report_bytes(uint32_t first_index, uint32_t first_offset,
                  const uint8_t *old_bytes, const uint8_t *new_bytes,
                  uint32_t count, bool ok);
// Hands everything gathered so far to standard output.
void flush_report();

// The platform layer. A target file is held for exclusive use from
// open_exclusive to close_target.
using target_file = intptr_t;
constexpr target_file no_target = -1;

// Before anything else: makes the standard descriptors and signals safe for
// a patch that must run to its end.
void prepare_process();
// From the open until the report is out, signals and console events that
// would end the process wait, so that no patched byte loses its line.
void hold_interruptions();
void release_interruptions();
// Opens an existing regular file on a real file system for reading and
// writing, never creating or truncating it; no_target when it cannot be had
// for exclusive use.
target_file open_exclusive(const char *path);
// Each sets *done to the bytes moved before it stopped. A read that stops
// early at the end of the file succeeds; any other shortfall fails.
bool read_at(target_file file, int32_t offset, uint8_t *bytes, uint32_t count,
             uint32_t *done);
bool write_at(target_file file, int32_t offset, const uint8_t *bytes,
              uint32_t count, uint32_t *done);
// Puts the written bytes on the storage device.
bool flush_target(target_file file);
bool close_target(target_file file);
// Writes all of text to standard output, waiting as long as it must; a
// report that cannot be written is dropped, and the patch goes on.
void write_report(const char *text, size_t count);

#endif
