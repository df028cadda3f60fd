// The operations of Bitmend's parts and the types they pass.
#ifndef EXTERN_H
#define EXTERN_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "messages.h"
#include "platform.h"

// Banner, argument checks, then one patch run on word 1, but none where
// standard output writes to it. Returns 0.
int bitmend_main(int argc, char *argv[], const native_name *file,
                 bool output_is_target);

// Numbers, for the words and the lists.
inline bool is_white(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
// Reads digits of base 10 or 16 onto *value, saturating at UINT64_MAX, so
// that no address wraps to a small one; returns where they end.
const char *read_digits(const char *text, unsigned base, uint64_t *value);
// White space, a sign, digits, white space, and nothing else.
bool read_decimal(const char *text, bool *negative, uint64_t *size);
// Whether length bytes from address lie at offsets up to INT64_MAX.
bool in_range(uint64_t address, uint64_t length);

// Hex digits: a character's value as one, or -1.
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
struct patch_list { const patch_range *ranges; size_t count; uint8_t *pool; };

// Why a call is refused, with the line or offset the message takes; none
// where said is null.
struct refusal { const message *said; uint64_t number; };

// Standard input: a list, or the bytes of the given range, read to its end
// or to the first refusal. The caller frees what was read.
using text_source = int32_t (*)(uint8_t *bytes, uint32_t count);
refusal read_ranges(text_source source, const patch_range *given,
                    patch_range **ranges, size_t *count, uint8_t **pool);

// Writes and reports each range's NEW where every byte with an OLD holds
// it or its NEW. Takes checked ranges: within INT64_MAX, none shared.
struct target_name { const char *shown; const native_name *native; };
void run_patch(target_name file, patch_list list);

// The report, gathered in a block; a name shows what could end a line as ?.
void report(message said, uint64_t number = 0);
void report(message said, const char *name);
void report_seeking(uint64_t address);
// The lines of count bytes from first_index at first_offset, with OK.
void report_bytes(uint32_t first_index, uint64_t first_offset,
                  const uint8_t *old_bytes, const uint8_t *new_bytes,
                  uint32_t count, bool ok);
// Hands the report out; false once any was lost but to a reader gone away.
bool flush_report();
// Where standard output writes to the target: no report.
void drop_report();

#endif
