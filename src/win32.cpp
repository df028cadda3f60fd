// The file layer on Windows: share mode none keeps every other process out.
#include "bitmend.h"

#include <cstdio>
#include <io.h>
#include <windows.h>

void prepare_process()
{
	// The C library may ignore the size unless given the buffer itself.
	static char report_buffer[1 << 16];
	if (!_isatty(_fileno(stdout)))
		setvbuf(stdout, report_buffer, _IOFBF, sizeof report_buffer);
}

target_file open_exclusive(const char *path)
{
	HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
	                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
	if (file == INVALID_HANDLE_VALUE)
		return no_target;
	// Consoles, pipes and devices such as NUL open too; only a file on disk
	// is patched.
	if (GetFileType(file) != FILE_TYPE_DISK) {
		CloseHandle(file);
		return no_target;
	}
	return reinterpret_cast<target_file>(file);
}

static OVERLAPPED at_offset(int32_t offset, uint32_t done)
{
	uint64_t position = static_cast<uint64_t>(offset) + done;
	OVERLAPPED place = {};
	place.Offset = static_cast<DWORD>(position);
	place.OffsetHigh = static_cast<DWORD>(position >> 32);
	return place;
}

bool read_at(target_file file, int32_t offset, uint8_t *bytes, uint32_t count,
             uint32_t *done)
{
	*done = 0;
	while (*done < count) {
		OVERLAPPED place = at_offset(offset, *done);
		DWORD got = 0;
		if (!ReadFile(reinterpret_cast<HANDLE>(file), bytes + *done,
		              count - *done, &got, &place))
			return GetLastError() == ERROR_HANDLE_EOF;
		if (got == 0)
			return true;
		*done += got;
	}
	return true;
}

bool write_at(target_file file, int32_t offset, const uint8_t *bytes,
              uint32_t count, uint32_t *done)
{
	*done = 0;
	while (*done < count) {
		OVERLAPPED place = at_offset(offset, *done);
		DWORD put = 0;
		if (!WriteFile(reinterpret_cast<HANDLE>(file), bytes + *done,
		               count - *done, &put, &place) ||
		    put == 0)
			return false;
		*done += put;
	}
	return true;
}

bool close_target(target_file file)
{
	return CloseHandle(reinterpret_cast<HANDLE>(file)) != 0;
}
