// Bitmend: patch bytes of an existing file in place.
#ifndef BITMEND_H
#define BITMEND_H

#include <array>
#include <cstddef>
#include <cstdint>

// The target as typed: its text for the report, and the name the platform
// opens (the same bytes on Linux, UTF-16 on Windows).
struct target_name {
	const char *text;
	const void *native;
};

// The entry routine: banner, argument checks, then one patch run on word 1,
// whose native form the process entry gives. Returns 0 on every path.
int bitmend_main(int argc, char *argv[], const void *native_file);

// A decimal number written in full: optional white space, an optional sign,
// one or more digits, optional white space, and nothing else. False for any
// other text; else its sign and its size, which saturates at UINT64_MAX.
bool read_decimal(const char *text, bool *negative, uint64_t *size);

// Each character's value as a hex digit, 0 to 15, or -1 for any other, at
// its code: one load, for a character at a time.
extern const std::array<int8_t, 256> hex_digit_value;

// The byte pair[0] (high) and pair[1] spell; 0x00 unless both are digits.
uint8_t decode_hex_pair(const char *pair);

// Decodes count bytes of 2 * count characters; false if one is no hex digit.
bool decode_hex(const char *hex, uint32_t count, uint8_t *bytes);

// What one run patches: ranges of bytes, each at its address, in the order
// given. A range's bytes lie in pool from at: OLD first where it has one,
// then NEW, length bytes each.
struct patch_range {
	uint64_t address;
	uint32_t length;
	bool has_old;
	size_t at;
};
struct patch_list {
	const patch_range *ranges;
	size_t count;
	uint8_t *pool;
};

// Reads standard input to its end: a list of ranges, a line each, or
// without one the bytes of the given range, HEXNUMBER or OLD:NEW. The
// caller frees what it fills; else the refusal, of *line in a list.
const char *read_ranges(const patch_range *given, patch_range **ranges,
                        size_t *count, uint8_t **pool, uint64_t *line);

// Overwrites each range with its NEW, once each byte with an OLD holds it,
// or holds it or its NEW where a run was cut off, and reports each byte on
// standard output. The ranges are checked: none
// passes INT64_MAX, and no two share a byte.
void run_patch(target_name file, patch_list list);

// The report, gathered in a block buffer. A format given a value holds one
// conversion for it: %s for a name, whose characters that could end a line
// show as '?', or %x or %d for a number.
void report(const char *format);
void report(const char *format, const char *name);
void report(const char *format, uint64_t number);
// "\nSeeking To 0xaddress, Patching...\n\n", which opens a range's lines.
void report_seeking(uint64_t address);
// For each of count bytes from first_index at first_offset, the line
// "(index).Offset 0xoffset:  [0xold]->[0xnew]...", then "OK\n" if ok.
void report_bytes(uint32_t first_index, uint64_t first_offset,
                  const uint8_t *old_bytes, const uint8_t *new_bytes,
                  uint32_t count, bool ok);
// Hands everything gathered to standard output. False once any report is
// lost but to a reader gone away: later patched bytes would have no line.
bool flush_report();

// The platform layer. A target file is held for exclusive use from
// open_exclusive to close_target.
using target_file = intptr_t;
constexpr target_file no_target = -1;

// Before anything else, with the native name to patch (null without one):
// on Linux, shuts other processes of the same user out of this one and
// gives closed standard descriptors the null device, which would else be
// handed to the target; on both, sends the report nowhere, refusing the
// file, when standard output already writes to that file.
void prepare_process(const void *native_file);
// From the open until the report is out, signals and console events that
// would end the process wait, so that no patched byte loses its line.
void hold_interruptions();
void release_interruptions();
// Opens an existing regular file for reading and writing, never creating
// or truncating it, and tells its size; no_target when it cannot be had
// for exclusive use, or a standard input or output is open on it.
target_file open_exclusive(const void *native_file, uint64_t *size);
// False once others may have had the file, or its name leads elsewhere.
bool still_held(target_file file, const void *native_file);
// One transfer at an offset: the bytes moved, 0 at the end, -1 on failure.
int32_t read_at(target_file file, uint64_t offset, uint8_t *bytes,
                uint32_t count);
int32_t write_at(target_file file, uint64_t offset, const uint8_t *bytes,
                 uint32_t count);
// Puts the written bytes on the storage device.
bool flush_target(target_file file);
bool close_target(target_file file);
// One read of standard input: the bytes got, 0 at its end, -1 on failure.
int32_t read_input(uint8_t *bytes, uint32_t count);
// Writes all of text to standard output, waiting as long as it must; false
// when any of it is lost but to a reader gone away.
bool write_report(const char *text, size_t count);

#endif
