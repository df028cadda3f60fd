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

// The platform file layer. A target file is held for exclusive use from
// open_exclusive to close_target.
using target_file = intptr_t;
constexpr target_file no_target = -1;

// Sets up standard output and signals so that a patch always runs to its end.
void prepare_process();
// Opens an existing regular file for reading and writing, never creating or
// truncating it; no_target when it cannot be had for exclusive use.
target_file open_exclusive(const char *path);
// Each sets *done to the bytes moved before it stopped. A read that stops
// early at the end of the file succeeds; any other shortfall fails.
bool read_at(target_file file, int32_t offset, uint8_t *bytes, uint32_t count,
             uint32_t *done);
bool write_at(target_file file, int32_t offset, const uint8_t *bytes,
              uint32_t count, uint32_t *done);
bool close_target(target_file file);

#endif
