// Bitmend: patch bytes of an existing file in place.
#ifndef BITMEND_H
#define BITMEND_H

#include <array>
#include <cstddef>
#include <cstdint>

// The target as typed, for the report, and as the platform opens it (the
// same bytes on Linux, UTF-16 on Windows).
struct target_name {
	const char *text;
	const void *native;
};

// Banner, argument checks, then one patch run on word 1. Returns 0.
int bitmend_main(int argc, char *argv[], const void *native_file);

// Every message the tool prints, once. A format holds one conversion: %s
// for a name, %x or %d for a number.
namespace message {
constexpr char banner[] = "Bitmend v1.00 - patch bytes of a file in place\n"
                          "Writes Length bytes at decimal Address, two hex "
                          "digits a byte\n";
constexpr char usage[] = "\nUsage: %s InputFile.bin Address Length HexNumber\n";
constexpr char hex_error[] = "\nHexNumber Error!\n";
constexpr char length_error[] = "\nLength Error!\n";
constexpr char need_more[] = "\nNeed More HexNumber!\n";
constexpr char address_error[] = "\nAddress Error!\n";
constexpr char out_of_range[] = "\nAddress Out Of Range!\n";
constexpr char cant_read_input[] = "\nCan't Read Standard Input!\n";
constexpr char no_memory[] = "\nNot Enough Memory!\n";
constexpr char address_error_at[] = "\nAddress Error At Line %d!\n";
constexpr char address_out_of_range_at[] = "\nAddress Out Of Range At Line %d!\n";
constexpr char hex_error_at[] = "\nHexNumber Error At Line %d!\n";
constexpr char list_ends_inside[] = "\nList Ends Inside Line %d!\n";
constexpr char overlap[] = "\nOverlap At 0x%x!\n";
constexpr char cant_open[] = "\nCan't Open %s!\n";
constexpr char mismatch_at[] = "\nMismatch At 0x%x";
constexpr char found[] = ": Found 0x%x";
constexpr char found_end[] = ": Found End Of File";
constexpr char expected[] = ", Expected 0x%x!\n";
constexpr char already_patched[] = "\nAlready Patched!\n";
constexpr char finishing[] = "\nPartly Patched, Finishing...\n";
constexpr char seeking_at[] = "\nSeeking To 0x", patching[] = ", Patching...\n\n";
constexpr char index[] = "(", offset[] = ").Offset 0x", old_value[] = ":  [0x",
               new_value[] = "]->[0x", line_end[] = "]...", ok[] = "OK\n";
constexpr char cant_read[] = "\nCan't Read 0x%x!\n";
constexpr char cant_write[] = "\nCan't Write 0x%x!\n";
constexpr char cant_hold[] = "\nCan't Hold %s!\n";
constexpr char cant_flush[] = "\nCan't Flush %s!\n";
constexpr char cant_close[] = "\nCan't Close %s!\n";
constexpr char done[] = "\nDone!\n";
} // namespace message

// Space, tab, line feed, vertical tab, form feed and carriage return.
inline bool is_white(char c)
{
	return c == ' ' || (c >= '\t' && c <= '\r');
}

// Reads decimal digits onto *value, which saturates to UINT64_MAX from
// 18446744073709551610 on; returns where they end.
inline const char *read_digits(const char *text, uint64_t *value)
{
	uint64_t read = *value;
	for (; *text >= '0' && *text <= '9'; text++)
		read = read < UINT64_MAX / 10
		               ? read * 10 + static_cast<uint64_t>(*text - '0')
		               : UINT64_MAX;
	*value = read;
	return text;
}
// A decimal number written in full: white space, a sign, digits, white
// space, and nothing else; false for any other text.
bool read_decimal(const char *text, bool *negative, uint64_t *size);
// Whether length bytes from address lie at offsets up to INT64_MAX.
bool in_range(uint64_t address, uint64_t length);

// A character's value as a hex digit, or -1: one load a character.
extern const std::array<int8_t, 256> hex_digit_value;
// The byte pair[0] (high) and pair[1] spell; 0x00 unless both are digits.
uint8_t decode_hex_pair(const char *pair);
// Decodes count bytes of 2 * count characters; false if one is no digit.
bool decode_hex(const char *hex, uint32_t count, uint8_t *bytes);

// What one run patches, in the order given. A range's bytes lie in pool
// from at: OLD first where it has one, then NEW, length bytes each.
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

// One read of a text, such as standard input: the bytes got, 0 at its
// end, -1 on failure.
using text_source = int32_t (*)(uint8_t *bytes, uint32_t count);
// Reads source to its end: a list, a range a line, or the bytes of the
// given range. Stops at the first refusal, returned with the line it
// names; the caller frees what it fills either way.
const char *read_ranges(text_source source, const patch_range *given,
                        patch_range **ranges, size_t *count, uint8_t **pool,
                        uint64_t *line);

// Writes each range's NEW where each byte with an OLD holds it, or holds
// it or its NEW (a run cut off), reporting each byte. The ranges are
// checked: none passes INT64_MAX, and no two share a byte.
void run_patch(target_name file, patch_list list);

// The report, gathered in a block. A format holds the one conversion its
// value needs; a name shows each character that could end a line as '?'.
void report(const char *format);
void report(const char *format, const char *name);
void report(const char *format, uint64_t number);
void report_seeking(uint64_t address);
// The lines of count bytes from first_index at first_offset, with OK.
void report_bytes(uint32_t first_index, uint64_t first_offset,
                  const uint8_t *old_bytes, const uint8_t *new_bytes,
                  uint32_t count, bool ok);
// Hands the report out; false once any of it was lost but to a reader
// gone away, for later bytes would have no line.
bool flush_report();
// Where standard output writes to the target: no report, and no patch.
void drop_report();
bool report_dropped();

// The platform layer. A file is held for exclusive use from the open to
// the close.
using target_file = intptr_t;
constexpr target_file no_target = -1;

// First thing, with the native name to patch, or null: shuts other
// processes of the same user out, drops the report where standard output
// writes to the file, and on Linux gives closed standard descriptors the
// null device, which the target would else get.
void prepare_process(const void *native_file);
// From the open until the report is out, signals and console events that
// would end the process wait.
void hold_interruptions();
void release_interruptions();
// Opens an existing regular file for reading and writing, never creating
// or truncating it, and tells its size; no_target where it cannot be had
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
int32_t read_input(uint8_t *bytes, uint32_t count);
// Writes text to standard output, waiting as long as it must (on Windows a
// character that it ends inside waits for the next); false when any of it
// is lost but to a reader gone away.
bool write_report(const char *text, size_t count);

#endif
