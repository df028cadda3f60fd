// The file layer on POSIX systems: advisory locks stand in for share modes.
#include "bitmend.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

void prepare_process()
{
	// A closed report pipe or a file-size limit must not stop a patch
	// halfway; the failed write is reported instead.
	signal(SIGPIPE, SIG_IGN);
	signal(SIGXFSZ, SIG_IGN);
	// The C library may ignore the size unless given the buffer itself.
	static char report_buffer[1 << 16];
	if (!isatty(STDOUT_FILENO))
		setvbuf(stdout, report_buffer, _IOFBF, sizeof report_buffer);
}

// Both lock families that other programs use: flock(2) and POSIX record
// locks (an open-file-description lock conflicts with lockf and fcntl locks).
static bool lock_whole_file(int fd)
{
	if (flock(fd, LOCK_EX | LOCK_NB) != 0)
		return false;
	struct flock whole = {};
	whole.l_type = F_WRLCK;
	whole.l_whence = SEEK_SET;
	return fcntl(fd, F_OFD_SETLK, &whole) == 0;
}

target_file open_exclusive(const char *path)
{
	// Refuse devices before opening them: opening some (tapes, FIFOs) has
	// effects of its own or blocks.
	struct stat status;
	if (stat(path, &status) != 0 || !S_ISREG(status.st_mode))
		return no_target;
	int fd = open(path, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
	if (fd < 0)
		return no_target;
	// The path may have been swapped for something else since the stat.
	if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
	    !lock_whole_file(fd)) {
		close(fd);
		return no_target;
	}
	return fd;
}

bool read_at(target_file file, int32_t offset, uint8_t *bytes, uint32_t count,
             uint32_t *done)
{
	*done = 0;
	while (*done < count) {
		ssize_t got = pread(static_cast<int>(file), bytes + *done,
		                    count - *done, off_t{offset} + *done);
		if (got == 0)
			return true;
		if (got < 0) {
			if (errno == EINTR)
				continue;
			return false;
		}
		*done += static_cast<uint32_t>(got);
	}
	return true;
}

bool write_at(target_file file, int32_t offset, const uint8_t *bytes,
              uint32_t count, uint32_t *done)
{
	*done = 0;
	while (*done < count) {
		ssize_t put = pwrite(static_cast<int>(file), bytes + *done,
		                     count - *done, off_t{offset} + *done);
		if (put < 0 && errno == EINTR)
			continue;
		if (put <= 0)
			return false;
		*done += static_cast<uint32_t>(put);
	}
	return true;
}

bool close_target(target_file file)
{
	// After EINTR the descriptor is gone on Linux; closing it again could
	// close another file's.
	return close(static_cast<int>(file)) == 0 || errno == EINTR;
}
