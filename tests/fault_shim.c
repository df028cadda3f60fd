/* Preloaded into the tool by the fault tests: makes one call on the target
 * file fail or fall short at a chosen byte offset of the file.
 *   BITMEND_FAULT="CALL ERRNO OFFSET", CALL one of pread, pwrite, fdatasync,
 *   close, or F_SETLEASE, which fails the lease (OFFSET unused). ERRNO 0
 *   makes a short transfer that ends before OFFSET (once); -1 ends the file
 *   there for reads, before the size it has; -9 kills the process with
 *   SIGKILL there, after the bytes before it; any other errno fails every
 *   call that reaches OFFSET. CALL write fails only the OFFSETth write of
 *   standard output, with ERRNO. fdatasync and close fail
 *   only on the file read and written; a close fails after closing, as
 *   Linux's does.
 *   BITMEND_TIE="PATH": the first lease asked for waits until two processes
 *   have asked (a byte each in PATH), so that each holds the file open when
 *   the other asks. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static char fault_call[16];
static int fault_errno = -1;
static long long fault_offset;
static int fired;
static int target_fd = -1;

static int armed(const char *call, int fd)
{
	if (fault_errno < 0) {
		const char *setting = getenv("BITMEND_FAULT");
		fault_errno = 1000;
		if (setting)
			sscanf(setting, "%15s %d %lld", fault_call, &fault_errno,
			       &fault_offset);
	}
	int report = strcmp(call, "write") == 0;
	return (report ? fd == STDOUT_FILENO : fd > 2) &&
	       strcmp(call, fault_call) == 0 &&
	       !(fired && fault_errno == 0);
}

typedef ssize_t (*transfer)(int, void *, size_t, off_t);

static ssize_t faulty(const char *call, int fd, void *buf, size_t count,
                      off_t offset)
{
	transfer real;
	*(void **)&real = dlsym(RTLD_NEXT, call); /* as POSIX advises */
	target_fd = fd;
	if (fault_errno == -1 && armed(call, fd) && offset >= fault_offset)
		return 0;
	if (!armed(call, fd) || fault_offset < offset ||
	    fault_offset >= offset + (off_t)count)
		return real(fd, buf, count, offset);
	if (fault_offset > offset)
		return real(fd, buf, (size_t)(fault_offset - offset), offset);
	fired = 1;
	if (fault_errno == -9)
		kill(getpid(), SIGKILL);
	if (fault_errno == 0)
		return real(fd, buf, 1, offset);
	errno = fault_errno;
	return -1;
}

ssize_t pread(int fd, void *buf, size_t count, off_t offset)
{
	return faulty("pread", fd, buf, count, offset);
}

ssize_t pwrite(int fd, const void *buf, size_t count, off_t offset)
{
	return faulty("pwrite", fd, (void *)buf, count, offset);
}

ssize_t pread64(int, void *, size_t, off64_t) __attribute__((alias("pread")));
ssize_t pwrite64(int, const void *, size_t, off64_t)
	__attribute__((alias("pwrite")));

ssize_t write(int fd, const void *buf, size_t count)
{
	ssize_t (*real)(int, const void *, size_t);
	*(void **)&real = dlsym(RTLD_NEXT, "write");
	static long long writes;
	if (!armed("write", fd) || ++writes != fault_offset)
		return real(fd, buf, count);
	errno = fault_errno;
	return -1;
}

int fdatasync(int fd)
{
	int (*real)(int);
	*(void **)&real = dlsym(RTLD_NEXT, "fdatasync");
	if (fd != target_fd || !armed("fdatasync", fd))
		return real(fd);
	fired = 1;
	errno = fault_errno;
	return -1;
}

int close(int fd)
{
	int (*real)(int);
	*(void **)&real = dlsym(RTLD_NEXT, "close");
	int closed = real(fd);
	if (closed != 0 || fd != target_fd || !armed("close", fd))
		return closed;
	fired = 1;
	errno = fault_errno;
	return -1;
}

/* fcntl's third argument, where it has one, is an int or a pointer; both
 * travel in a register on x86-64. */
int fcntl(int fd, int cmd, ...)
{
	va_list words;
	va_start(words, cmd);
	void *argument = va_arg(words, void *);
	va_end(words);
	int (*real)(int, int, ...);
	*(void **)&real = dlsym(RTLD_NEXT, "fcntl");
	static int met;
	const char *tie = getenv("BITMEND_TIE");
	if (cmd == F_SETLEASE && tie && !met++) {
		int meeting = open(tie, O_WRONLY | O_APPEND);
		struct stat seen;
		if (write(meeting, "x", 1) == 1)
			for (int ms = 0; ms < 10000 && fstat(meeting, &seen) == 0 &&
			                 seen.st_size < 2; ms++)
				usleep(1000);
		close(meeting);
	}
	if (cmd != F_SETLEASE || !armed("F_SETLEASE", fd))
		return real(fd, cmd, argument);
	errno = fault_errno;
	return -1;
}
