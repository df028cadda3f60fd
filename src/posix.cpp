// The platform layer on Linux: a named regular file held with a write lease
// and both kinds of lock.
#include "extern.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <initializer_list>
#include <linux/magic.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

// A file's name is its path, and a held file its descriptor.
struct native_name { const char *path; };
struct target_file { int fd; };

int main(int argc, char *argv[])
{
	native_name name = {argc > 1 ? argv[1] : nullptr};
	bool output_is_target = prepare_process(&name);
	return bitmend_main(argc, argv, &name, output_is_target);
}

static bool same_file(const struct stat &a, const struct stat &b)
{
	return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The process's setup.
static bool is_open_on(int descriptor, const struct stat &file)
{
	struct stat status;
	return fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) &&
	       same_file(status, file);
}

bool prepare_process(const native_name *name)
{
	// Else the same user could take the run's descriptor or rewrite it.
	prctl(PR_SET_DUMPABLE, 0);
	// A closed one would be the target's, and the report with it. Without
	// the null device, 0 or 1 is refused as target.
	struct pollfd standard[] = {{STDIN_FILENO, 0, 0}, {STDOUT_FILENO, 0, 0},
	                            {STDERR_FILENO, 0, 0}};
	poll(standard, 3, 0); // one call for all three
	for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++)
		if (standard[fd].revents & POLLNVAL)
			open("/dev/null", O_RDWR | O_NONBLOCK | O_NOCTTY);
	// No closed pipe, file-size limit or lease break stops a patch halfway.
	signal(SIGPIPE, SIG_IGN);
	signal(SIGXFSZ, SIG_IGN);
	signal(SIGIO, SIG_IGN);
	struct stat target;
	return name->path && stat(name->path, &target) == 0 &&
	       is_open_on(STDOUT_FILENO, target);
}

// Interruptions held back: every signal that can wait (all but SIGKILL and
// SIGSTOP) waits, then acts; a fault of the tool's own is delivered anyway.

static sigset_t mask_before;

void hold_interruptions()
{
	sigset_t every;
	sigfillset(&every);
	sigprocmask(SIG_BLOCK, &every, &mask_before);
}

void release_interruptions()
{
	sigprocmask(SIG_SETMASK, &mask_before, nullptr);
}

// What is refused, in the order it is checked:
// - any file, while standard output writes to the file the path names
//   (prepare_process);
// - a path that cannot be opened without access: missing, dangling, or
//   behind a folder that may not be searched;
// - anything but a regular file: a FIFO, a device, a socket, a directory;
// - a file without a link (a memfd, a deleted file), whose other users no
//   lease would keep out;
// - a file of the kernel's pseudo-file systems: settings and reports;
// - standard output's own file, where the path leads there now;
// - standard input's own file, which no lock would refuse;
// - a file that /proc/self/fd does not open again, or leads elsewhere;
// - a file that may not be opened for reading and writing;
// - a file another process has open or mapped, where a lease can be had;
// - a file another process has locked.

static bool listed(const struct statfs &file_system,
                   std::initializer_list<uint32_t> types)
{
	return std::find(types.begin(), types.end(),
	                 static_cast<uint32_t>(file_system.f_type)) != types.end();
}

// A regular file with a link, on no pseudo-file system whose files a user
// may write.
static bool plain_file(const struct stat &checked,
                       const struct statfs &file_system)
{
	return S_ISREG(checked.st_mode) && checked.st_nlink > 0 &&
	       !listed(file_system, {PROC_SUPER_MAGIC, SYSFS_MAGIC, CGROUP_SUPER_MAGIC,
	                             CGROUP2_SUPER_MAGIC, SECURITYFS_MAGIC,
	                             SELINUX_MAGIC, SMACK_MAGIC});
}

// Opening for exclusive use: the path opened with no access, which opens no
// FIFO or device, and only the inode so checked opened for data.

// The file held from the open to the close, and when its lease was last whole.
static struct { struct stat file; bool leased; struct timespec seen_whole; } held;
static target_file held_file;

// Through /proc/self/fd, as the path could have been swapped, to the inode
// checked before (no FIFO through a fake /proc) and after the open;
// non-blocking, so that a lease held elsewhere refuses it.
static int open_for_data(int path_fd, const struct stat &checked)
{
	char entry[32];
	snprintf(entry, sizeof entry, "/proc/self/fd/%d", path_fd);
	struct stat status;
	int fd = stat(entry, &status) == 0 && same_file(status, checked)
	                 ? open(entry, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)
	                 : -1;
	if (fd >= 0 && (fstat(fd, &status) != 0 || !same_file(status, checked))) {
		close(fd);
		return -1;
	}
	return fd;
}

// A write lease, granted while no other process has the file open or
// mapped, makes other opens wait. Two runs that open at once each see the
// other (EAGAIN) and try again after a random wait. Without a lease
// (EACCES: not the owner; EINVAL), only the locks keep others out.
static int open_leased(int path_fd, const struct stat &checked, bool lease)
{
	for (int attempt = 0;; attempt++) {
		int fd = open_for_data(path_fd, checked);
		if (fd < 0 || !lease)
			return fd;
		clock_gettime(CLOCK_MONOTONIC, &held.seen_whole);
		held.leased = fcntl(fd, F_SETLEASE, F_WRLCK) == 0;
		if (held.leased || errno == EACCES || errno == EINVAL)
			return fd;
		bool tie = errno == EAGAIN;
		close(fd);
		if (!tie || attempt == 6)
			return -1;
		// Below 2 << attempt ms, from the time and the pid.
		uint32_t mixed = (static_cast<uint32_t>(held.seen_whole.tv_nsec) ^
		                  static_cast<uint32_t>(getpid())) * 2654435761u;
		struct timespec wait = {0, (mixed >> 4) % (2000000u << attempt)};
		nanosleep(&wait, nullptr);
	}
}

// flock(2), and an OFD lock, which conflicts with lockf and fcntl locks.
static bool lock_whole_file(int fd)
{
	if (flock(fd, LOCK_EX | LOCK_NB) != 0)
		return false;
	struct flock whole = {}; // from SEEK_SET 0, for a length of 0: all
	whole.l_type = F_WRLCK;
	return fcntl(fd, F_OFD_SETLK, &whole) == 0;
}

opened_file open_exclusive(const native_name *name)
{
	opened_file opened = {nullptr, 0, false};
	int path_fd = open(name->path, O_PATH | O_CLOEXEC);
	if (path_fd < 0)
		return opened;
	struct stat &checked = held.file;
	struct statfs file_system;
	bool plain = fstat(path_fd, &checked) == 0 &&
	             fstatfs(path_fd, &file_system) == 0 &&
	             plain_file(checked, file_system);
	opened.output_is_target = plain && is_open_on(STDOUT_FILENO, checked);
	int fd = -1;
	if (plain && !opened.output_is_target && !is_open_on(STDIN_FILENO, checked))
		// Network file systems grant a lease only with a delegation.
		fd = open_leased(path_fd, checked,
		                 !listed(file_system, {NFS_SUPER_MAGIC, CIFS_SUPER_MAGIC,
		                                       SMB2_SUPER_MAGIC, AFS_SUPER_MAGIC,
		                                       AFS_FS_MAGIC, CEPH_SUPER_MAGIC,
		                                       V9FS_MAGIC, CODA_SUPER_MAGIC}));
	close(path_fd);
	if (fd >= 0 && lock_whole_file(fd)) {
		held_file.fd = fd;
		return {&held_file, static_cast<uint64_t>(checked.st_size), false};
	}
	if (fd >= 0)
		close(fd);
	return opened;
}

// Holding the file. Another open breaks the lease and gets in
// lease-break-time seconds later (never, for 0); a refused run's open breaks
// it too. So a break counts once it may be older than the break time, less
// a margin, from when the lease was last seen whole.

static bool lease_kept(int fd)
{
	struct timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	if (fcntl(fd, F_GETLEASE) == F_WRLCK) {
		held.seen_whole = now;
		return true;
	}
	long seconds = -1;
	if (FILE *knob = fopen("/proc/sys/fs/lease-break-time", "re")) {
		seconds = fscanf(knob, "%ld", &seconds) == 1 ? seconds : -1;
		fclose(knob);
	}
	if (seconds <= 0)
		return seconds == 0;
	int64_t age_ms = (now.tv_sec - held.seen_whole.tv_sec) * int64_t{1000} +
	                 (now.tv_nsec - held.seen_whole.tv_nsec) / 1000000;
	int64_t limit_ms = seconds * int64_t{1000};
	return age_ms < limit_ms - std::min<int64_t>(limit_ms / 2, 1000);
}

bool still_held(target_file *file, const native_name *name)
{
	// A rename or an unlink breaks no lease, but the name leads elsewhere.
	struct stat named;
	return stat(name->path, &named) == 0 && same_file(named, held.file) &&
	       (!held.leased || lease_kept(file->fd));
}

// Moving bytes: one call each. Every signal waits, so none fails EINTR.

int32_t transfer_at(target_file *file, uint64_t offset, uint8_t *bytes,
                    uint32_t count, bool writing)
{
	auto at = static_cast<off_t>(offset);
	return static_cast<int32_t>(writing ? pwrite(file->fd, bytes, count, at)
	                                    : pread(file->fd, bytes, count, at));
}

bool flush_target(target_file *file)
{
	return fdatasync(file->fd) == 0;
}

bool close_target(target_file *file)
{
	return close(file->fd) == 0;
}

// Standard input, which another process may have made non-blocking.

int32_t read_input(uint8_t *bytes, uint32_t count)
{
	for (;;) {
		ssize_t got = read(STDIN_FILENO, bytes, count);
		if (got >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
			return static_cast<int32_t>(got);
		struct pollfd input = {STDIN_FILENO, POLLIN, 0};
		poll(&input, 1, -1);
	}
}

// The report leaves whole, through short writes and a non-blocking
// descriptor.

output_result write_report(const char *text, size_t count)
{
	while (count > 0) {
		ssize_t put = write(STDOUT_FILENO, text, count);
		if (put > 0) {
			text += put;
			count -= static_cast<size_t>(put);
		} else if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
			struct pollfd output = {STDOUT_FILENO, POLLOUT, 0};
			poll(&output, 1, -1);
		} else {
			return put < 0 && errno == EPIPE ? output_result::reader_gone
			                                 : output_result::failed;
		}
	}
	return output_result::written;
}
