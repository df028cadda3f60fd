// The patch run: compare each OLD, read the old bytes, write the new ones,
// report each byte.
#include "bitmend.h"

#include <cstring>

// Bytes per read and write, and written between two looks at the hold: few
// system calls, a small buffer, and at most this many bytes in the file
// whose lines a kill could still lose.
constexpr uint32_t chunk_size = 32768;

// Off the stack, which may be small; the run has one thread.
static uint8_t old_bytes[chunk_size];

// Moves count bytes at offset through short transfers until one fails or,
// reading, the file ends; returns how many moved.
static uint32_t transfer(target_file file, uint64_t offset, uint8_t *bytes,
                         uint32_t count, bool writing)
{
	uint32_t done = 0;
	while (done < count) {
		int32_t moved =
			writing ? write_at(file, offset + done, bytes + done, count - done)
			        : read_at(file, offset + done, bytes + done, count - done);
		if (moved <= 0)
			break;
		done += static_cast<uint32_t>(moved);
	}
	return done;
}

// Reads the old value of each of count bytes from offset; past the end of
// the file lies a hole, which reads as zeros. Returns how many are in the
// file, or reports why not and returns -1.
static int64_t read_block(target_file file, uint64_t file_size,
                          uint64_t offset, uint32_t count)
{
	// The system refuses a read that would pass the largest offset, where no
	// file has bytes: there the write is what fails.
	uint64_t room = uint64_t{INT64_MAX} - offset;
	uint32_t got = transfer(file, offset, old_bytes,
	                        room < count ? static_cast<uint32_t>(room) : count,
	                        false);
	// A file whose reads disagree with its size is no plain file: its
	// "bytes" are made up as they are read.
	uint64_t rest = file_size > offset ? file_size - offset : 0;
	uint32_t in_file = rest < count ? static_cast<uint32_t>(rest) : count;
	if (got != in_file) {
		report("\nCan't Read 0x%x!\n", offset + (got < in_file ? got : in_file));
		return -1;
	}
	if (in_file < count)
		memset(old_bytes + in_file, 0, count - in_file);
	return in_file;
}

static uint32_t block_at(uint32_t total, uint32_t done)
{
	return total - done < chunk_size ? total - done : chunk_size;
}

// The first byte of a range that holds neither its OLD nor its NEW.
struct difference {
	uint64_t offset;
	bool in_file;
	uint8_t found, wanted;
};

// What the file holds where the ranges have an OLD, read before anything
// is written. A run cut off anywhere leaves each such byte OLD or NEW, so
// the same call finishes it; any other byte means another file or version.
enum file_state { holds_old, holds_new, partly_new, holds_other, unreadable };

static file_state compare(target_file file, uint64_t file_size,
                          patch_list list, difference *first)
{
	bool all_old = true, all_new = true;
	for (size_t r = 0; r < list.count; r++) {
		const patch_range &range = list.ranges[r];
		const uint8_t *old = list.pool + range.at, *now = old + range.length;
		// A plain range may not be in yet: it is never Already Patched.
		all_new = all_new && range.has_old;
		for (uint32_t done = 0; range.has_old && done < range.length;
		     done += chunk_size) {
			uint32_t count = block_at(range.length, done);
			int64_t in_file =
				read_block(file, file_size, range.address + done, count);
			if (in_file < 0)
				return unreadable;
			bool whole = in_file == count;
			bool is_old = whole && memcmp(old_bytes, old + done, count) == 0;
			bool is_new = (!is_old || all_new) && whole &&
			              memcmp(old_bytes, now + done, count) == 0;
			for (uint32_t i = 0; !is_old && !is_new && i < count; i++)
				if (i >= in_file || (old_bytes[i] != old[done + i] &&
				                     old_bytes[i] != now[done + i])) {
					*first = {range.address + done + i, i < in_file,
					          old_bytes[i], old[done + i]};
					return holds_other;
				}
			all_old = all_old && is_old;
			all_new = all_new && is_new;
		}
	}
	return all_old ? holds_old : all_new ? holds_new : partly_new;
}

static void report_mismatch(const difference &first)
{
	report("\nMismatch At 0x%x", first.offset);
	first.in_file ? report(": Found 0x%x", first.found)
	              : report(": Found End Of File");
	report(", Expected 0x%x!\n", first.wanted);
}

// Patches the block of range from its byte first. Its old values are the
// OLD the file was found to hold, or read now where the file may hold NEW
// already (finishing); every byte reported OK has been handed to the
// system before its line is gathered. False after reporting a failure.
static bool patch_block(target_file file, target_name name,
                        uint64_t &file_size, const patch_range &range,
                        uint8_t *pool, bool finishing, uint32_t first,
                        uint32_t &unlooked)
{
	uint64_t offset = range.address + first;
	uint32_t count = block_at(range.length, first);
	bool read_old = !range.has_old || finishing;
	const uint8_t *old = read_old ? old_bytes : pool + range.at + first;
	uint8_t *new_bytes =
		pool + range.at + (range.has_old ? range.length : 0) + first;
	if (read_old && read_block(file, file_size, offset, count) < 0)
		return false;
	// Once a block's worth has been written since the last look (more than
	// that before the first), the lines of what was written have gone out,
	// and the file is still held and named.
	if (unlooked + count > chunk_size) {
		if (unlooked <= chunk_size && !flush_report()) {
			report("\nCan't Write 0x%x!\n", offset);
			return false;
		}
		if (!still_held(file, name.native)) {
			report("\nCan't Hold %s!\n", name.text);
			return false;
		}
		unlooked = 0;
	}
	unlooked += count;
	uint32_t written = transfer(file, offset, new_bytes, count, true);
	// A later range of a list reads what this one grew.
	if (offset + written > file_size)
		file_size = offset + written;
	report_bytes(first, offset, old, new_bytes, written, true);
	if (written < count) {
		report_bytes(first + written, offset + written, old + written,
		             new_bytes + written, 1, false);
		report("\nCan't Write 0x%x!\n", offset + written);
		return false;
	}
	return true;
}

static void patch_file(target_name name, patch_list list)
{
	uint64_t file_size = 0;
	target_file file = open_exclusive(name.native, &file_size);
	if (file == no_target) {
		report("\nCan't Open %s!\n", name.text);
		return;
	}
	difference first = {};
	file_state state = compare(file, file_size, list, &first);
	if (state == holds_new)
		report("\nAlready Patched!\n");
	else if (state == holds_other)
		report_mismatch(first);
	else if (state == partly_new)
		report("\nPartly Patched, Finishing...\n");
	if (state != holds_old && state != partly_new) {
		close_target(file);
		return;
	}
	bool patched = true;
	uint32_t unlooked = chunk_size + 1; // nothing written yet
	uint64_t reached = 0;
	for (size_t r = 0; patched && r < list.count; r++) {
		const patch_range &range = list.ranges[r];
		report_seeking(range.address);
		for (uint32_t done = 0; patched && done < range.length;
		     done += chunk_size)
			patched = patch_block(file, name, file_size, range, list.pool,
			                      state == partly_new, done, unlooked);
		reached = range.address + range.length;
	}
	// What was written before a failure is worth keeping too.
	bool flushed = flush_target(file);
	bool held = still_held(file, name.native);
	bool closed = close_target(file);
	if (!patched)
		return;
	if (!flushed)
		report("\nCan't Flush %s!\n", name.text);
	else if (!closed)
		report("\nCan't Close %s!\n", name.text);
	else if (!held)
		report("\nCan't Hold %s!\n", name.text);
	else if (!flush_report()) // a lost block of lines undoes nothing
		report("\nCan't Write 0x%x!\n", reached);
	else
		report("\nDone!\n");
}

void run_patch(target_name file, patch_list list)
{
	hold_interruptions();
	patch_file(file, list);
	flush_report();
	release_interruptions();
}
