// Bitmend: patch bytes of an existing file in place.
#ifndef BITMEND_H
#define BITMEND_H

#include <array>
#include <cstddef>
#include <cstdint>

// The target as typed, for the report, and as the platform opens it.
struct target_name {
	const char *text;
	const void *native;
};

// Banner, argument checks, then one patch run on word 1. Returns 0.
int bitmend_main(int argc, char *argv[], const void *native_file);

// Every message the tool prints, once; a format holds one %s, %x or %d.
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

inline bool is_white(char c)
{
	return c == ' ' || (c >= '\t' && c <= '\r');
}

// A character's value as a hex digit, or -1: one load a character.
extern const std::array<int8_t, 256> hex_digit_value;

// Reads digits of base 10 or 16 onto *value, saturating at UINT64_MAX, so
// that no address wraps to a small one; returns where they end.
inline const char *read_digits(const char *text, unsigned base, uint64_t *value)
{
	uint64_t read = *value;
	// -1, no digit, is 255 as unsigned: past either base.
	for (unsigned digit; (digit = static_cast<uint8_t>(
	                              hex_digit_value[static_cast<uint8_t>(*text)])) < base;
	     text++)
		read = read < UINT64_MAX / base ? read * base + digit : UINT64_MAX;
	*value = read;
	return text;
}
// White space, a sign, digits, white space, and nothing else.
bool read_decimal(const char *text, bool *negative, uint64_t *size);
// Whether length bytes from address lie at offsets up to INT64_MAX.
bool in_range(uint64_t address, uint64_t length);

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

// One read of a text: the bytes got, 0 at its end, -1 on failure.
using text_source = int32_t (*)(uint8_t *bytes, uint32_t count);
// Reads source to its end: a list, or the bytes of the given range. Stops
// at the first refusal, with the line it names; the caller frees the rest.
const char *read_ranges(text_source source, const patch_range *given,
                        patch_range **ranges, size_t *count, uint8_t **pool,
                        uint64_t *line);

// Writes and reports each range's NEW where every byte with an OLD holds
// it or its NEW. Takes checked ranges: within INT64_MAX, none shared.
void run_patch(target_name file, patch_list list);

// The report, gathered in a block; a name shows what could end a line as ?.
void report(const char *format);
void report(const char *format, const char *name);
void report(const char *format, uint64_t number);
void report_seeking(uint64_t address);
// The lines of count bytes from first_index at first_offset, with OK.
void report_bytes(uint32_t first_index, uint64_t first_offset,
                  const uint8_t *old_bytes, const uint8_t *new_bytes,
                  uint32_t count, bool ok);
// Hands the report out; false once any was lost but to a reader gone away.
bool flush_report();
// Where standard output writes to the target: no report, and no patch.
void drop_report();
bool report_dropped();

// The platform layer; a file is held for exclusive use from open to close.
using target_file = intptr_t;
constexpr target_file no_target = -1;

// First thing: shuts other processes of the same user out, drops the
// report where standard output writes to the file, and on Linux fills
// closed standard descriptors.
void prepare_process(const void *native_file);
// From the open until the report is out, what would end the process waits.
void hold_interruptions();
void release_interruptions();
// Opens an existing regular file to read and write, and tells its size;
// no_target unless held for exclusive use, with no standard stream on it.
target_file open_exclusive(const void *native_file, uint64_t *size);
// False once others may have had the file, or its name leads elsewhere.
bool still_held(target_file file, const void *native_file);
// One read or write at an offset: bytes moved, 0 at the end, -1 on failure.
int32_t transfer_at(target_file file, uint64_t offset, uint8_t *bytes,
                    uint32_t count, bool writing);
// Puts the written bytes on the storage device.
bool flush_target(target_file file);
bool close_target(target_file file);
int32_t read_input(uint8_t *bytes, uint32_t count);
// Writes text to standard output, waiting as it must. A reader gone away
// (a broken pipe) chose not to read the rest. Windows holds back a split
// character.
enum class output_result { written, reader_gone, failed };
output_result write_report(const char *text, size_t count);

#endif
