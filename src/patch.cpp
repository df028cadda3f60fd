// The patch run: read the old bytes, write the new ones, report each byte.
#include "bitmend.h"

#include <cstring>

// Bytes moved per positioned read and write: few system calls for a long
// patch, a small fixed buffer for any length, and at most this many bytes
// in the file whose lines a kill could still lose.
constexpr uint32_t chunk_size = 32768;

// Off the stack, which may be small; the run has one thread.
static uint8_t old_bytes[chunk_size];
static uint8_t new_bytes[chunk_size];

// Offsets reach 2147483647 at most, so the last byte of a run may lie there
// and no further.
static bool offsets_in_range(int32_t address, int32_t length)
{
	if (address < 0)
		return false;
	return length <= 0 || int64_t{address} + length <= int64_t{INT32_MAX} + 1;
}

// Repeats one transfer until count bytes have moved, leaving the number in
// done. A read may meet the end of the file and stop early; a write may not.
template <typename transfer>
static bool transfer_all(transfer once, uint32_t count, bool is_read,
                         uint32_t &done)
{
	for (done = 0; done < count;) {
		int32_t moved = once(done);
		if (moved == 0 && is_read)
			return true;
		if (moved <= 0)
			return false;
		done += static_cast<uint32_t>(moved);
	}
	return true;
}

// How many of count bytes from offset lie before the end of the file.
static uint32_t bytes_in_file(int64_t file_size, uint32_t offset,
                              uint32_t count)
{
	int64_t rest = file_size - offset;
	return rest <= 0 ? 0 : rest < count ? static_cast<uint32_t>(rest) : count;
}

// Patches count bytes from offset, whose first byte is number first_index
// of the run. Every byte reported OK has been handed to the system before
// its line is gathered. Returns false after reporting a failure.
static bool patch_chunk(target_file file, int64_t &file_size, uint32_t offset,
                        uint32_t first_index, uint32_t count, const char *hex)
{
	uint32_t read_count = 0;
	bool read_ok = transfer_all(
		[&](uint32_t at) {
			return read_at(file, offset + at, old_bytes + at, count - at);
		},
		count, true, read_count);
	// A file whose reads disagree with its size is no plain file: its
	// "bytes" are made up as they are read.
	uint32_t in_file = bytes_in_file(file_size, offset, count);
	if (read_ok && read_count != in_file) {
		report("\nCan't Read 0x%x!\n",
		       offset + (read_count < in_file ? read_count : in_file));
		return false;
	}
	// Past the end of the file lies a hole, and a hole reads as zeros.
	memset(old_bytes + read_count, 0, count - read_count);
	// After a failed read only the bytes whose old value is known are patched.
	uint32_t patch_count = read_ok ? count : read_count;
	for (uint32_t i = 0; i < patch_count; i++)
		new_bytes[i] = decode_hex_pair(hex + 2 * size_t{i});

	// The lines of the bytes already written go out before more are
	// written, and more are written only while the file is still ours.
	if (first_index > 0 && !(flush_report() && still_held(file))) {
		report("\nCan't Write 0x%x!\n", offset);
		return false;
	}
	uint32_t written = 0;
	bool write_ok = transfer_all(
		[&](uint32_t at) {
			return write_at(file, offset + at, new_bytes + at,
			                patch_count - at);
		},
		patch_count, false, written);
	if (offset + int64_t{written} > file_size)
		file_size = offset + int64_t{written};
	report_bytes(first_index, offset, old_bytes, new_bytes, written, true);
	if (!write_ok) {
		report_bytes(first_index + written, offset + written,
		             old_bytes + written, new_bytes + written, 1, false);
		report("\nCan't Write 0x%x!\n", offset + written);
		return false;
	}
	if (!read_ok) {
		report("\nCan't Read 0x%x!\n", offset + read_count);
		return false;
	}
	return true;
}

static void patch_file(const char *path, int32_t address, int32_t length,
                       const char *hex)
{
	int64_t file_size = 0;
	target_file file = open_exclusive(path, &file_size);
	if (file == no_target) {
		report("\nCan't Open %s!\n", path);
		return;
	}
	report("\nSeeking To 0x%x, Patching...\n\n", static_cast<uint32_t>(address));

	bool patched = true;
	uint32_t total = length > 0 ? static_cast<uint32_t>(length) : 0;
	for (uint32_t done = 0; patched && done < total; done += chunk_size) {
		uint32_t count = total - done < chunk_size ? total - done : chunk_size;
		patched = patch_chunk(file, file_size,
		                      static_cast<uint32_t>(address) + done, done,
		                      count, hex + 2 * size_t{done});
	}
	// What was written before a failure is worth keeping too.
	bool flushed = flush_target(file);
	bool held = still_held(file);
	bool closed = close_target(file);
	if (!patched)
		return;
	if (!flushed) {
		report("\nCan't Flush %s!\n", path);
		return;
	}
	if (!closed) {
		report("\nCan't Close %s!\n", path);
		return;
	}
	if (!held) {
		report("\nCan't Hold %s!\n", path);
		return;
	}
	report("\nDone!\n");
}

void run_patch(const char *path, int32_t address, int32_t length,
               const char *hex)
{
	if (!offsets_in_range(address, length)) {
		report("\nAddress Out Of Range!\n");
		return;
	}
	hold_interruptions();
	patch_file(path, address, length, hex);
	flush_report();
	release_interruptions();
}
