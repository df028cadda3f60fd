// The platform layer on Linux: a regular file on a real file system, held
// with a write lease and both kinds of lock, moved with positioned reads and
// writes, and a report that always reaches standard output whole.
#include "bitmend.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <initializer_list>
#include <linux/magic.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

// The process's setup.

void prepare_process()
{
	// A closed standard descriptor is the next one that open hands out, and
	// the report would go into the target file: each gets /dev/null instead.
	struct pollfd standard[3] = {{STDIN_FILENO, 0, 0}, {STDOUT_FILENO, 0, 0},
	                             {STDERR_FILENO, 0, 0}};
	if (poll(standard, 3, 0) >= 0)
		for (const struct pollfd &fd : standard)
			if ((fd.revents & POLLNVAL) && open("/dev/null", O_RDWR) != fd.fd)
				break;
	// A closed report pipe or a file-size limit must not stop a patch
	// halfway, and a broken lease must not kill it: others wait their turn.
	signal(SIGPIPE, SIG_IGN);
	signal(SIGXFSZ, SIG_IGN);
	signal(SIGIO, SIG_IGN);
}

// Interruptions held back: from the open until the report is out, every
// signal but the tool's own faults waits, then takes effect as sent.

static sigset_t mask_before;

void hold_interruptions()
{
	sigset_t held;
	sigfillset(&held);
	for (int fault : {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGSYS, SIGTRAP})
		sigdelset(&held, fault);
	sigprocmask(SIG_BLOCK, &held, &mask_before);
}

void release_interruptions()
{
	sigprocmask(SIG_SETMASK, &mask_before, nullptr);
}

// What is refused: anything but a regular file, files of the kernel's
// pseudo-file systems, whose "bytes" are settings and reports, and the file
// that standard output already writes to.

static bool on_pseudo_file_system(uint32_t type)
{
	static const uint32_t pseudo[] = {
		PROC_SUPER_MAGIC, SYSFS_MAGIC, DEBUGFS_MAGIC, TRACEFS_MAGIC,
		SECURITYFS_MAGIC, 0x62656570 /* configfs */, CGROUP_SUPER_MAGIC,
		CGROUP2_SUPER_MAGIC, EFIVARFS_MAGIC, BPF_FS_MAGIC, PSTOREFS_MAGIC,
		SELINUX_MAGIC, SMACK_MAGIC, BINFMTFS_MAGIC, 0x65735543 /* fusectl */,
		0x19800202 /* mqueue */, NSFS_MAGIC, RDTGROUP_SUPER_MAGIC,
		XENFS_SUPER_MAGIC, OPENPROM_SUPER_MAGIC, USBDEVICE_SUPER_MAGIC,
		DEVPTS_SUPER_MAGIC, BINDERFS_SUPER_MAGIC, ANON_INODE_FS_MAGIC,
	};
	for (uint32_t magic : pseudo)
		if (type == magic)
			return true;
	return false;
}

// Where a lease is refused for reasons that say nothing about other users
// of the file: network file systems grant them only with a delegation.
static bool leases_mean_nothing(uint32_t type)
{
	static const uint32_t network[] = {
		NFS_SUPER_MAGIC, SMB_SUPER_MAGIC, CIFS_SUPER_MAGIC, SMB2_SUPER_MAGIC,
		AFS_SUPER_MAGIC, AFS_FS_MAGIC, CEPH_SUPER_MAGIC, V9FS_MAGIC,
		CODA_SUPER_MAGIC, NCP_SUPER_MAGIC,
	};
	for (uint32_t magic : network)
		if (type == magic)
			return true;
	return false;
}

static bool same_file(const struct stat &a, const struct stat &b)
{
	return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A report written into the target would be bytes outside the range; it
// goes nowhere instead, and the file is refused.
static bool is_standard_output(const struct stat &target)
{
	struct stat output;
	if (fstat(STDOUT_FILENO, &output) != 0 || !same_file(output, target))
		return false;
	int null = open("/dev/null", O_WRONLY);
	if (null < 0 || dup2(null, STDOUT_FILENO) < 0)
		close(STDOUT_FILENO);
	if (null > STDERR_FILENO)
		close(null);
	return true;
}

// Opening for exclusive use. The path is first opened with no access at
// all, which opens no FIFO or device however the path changes; only the
// inode so checked is then opened for reading and writing.

constexpr int lease_attempts = 10;

// Through /proc the checked inode itself; where /proc is missing, the path
// again, kept only if it still leads there.
static int reopen(int path_fd, const char *path, const struct stat &checked)
{
	const int flags = O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
	char link[32] = "/proc/self/fd/";
	*std::to_chars(link + 14, link + sizeof link - 1, path_fd).ptr = '\0';
	int fd = open(link, flags);
	if (fd < 0 && errno == ENOENT)
		fd = open(path, flags);
	struct stat opened;
	if (fd >= 0 && (fd <= STDERR_FILENO || fstat(fd, &opened) != 0 ||
	                !same_file(opened, checked))) {
		close(fd);
		return -1;
	}
	return fd;
}

static void step_back()
{
	uint16_t noise = 0;
	if (getrandom(&noise, sizeof noise, GRND_NONBLOCK) != sizeof noise)
		noise = static_cast<uint16_t>(getpid());
	struct timespec pause = {0, 1000000L + noise % 4000 * 1000L};
	nanosleep(&pause, nullptr);
}

// A write lease is granted only while no other process has the file open or
// mapped, and while it is held other opens wait. Two runs that open at once
// each see the other and are both refused: each steps back for a random
// 1 to 5 ms and tries again, so one of them wins, within about 50 ms.
static int open_leased(int path_fd, const char *path, const struct stat &checked,
                       bool lease)
{
	for (int attempt = 1;; attempt++) {
		int fd = reopen(path_fd, path, checked);
		if (fd < 0 || !lease || fcntl(fd, F_SETLEASE, F_WRLCK) == 0 ||
		    errno != EAGAIN)
			return fd; // EACCES, EINVAL: not the owner, or no leases here
		close(fd);
		if (attempt == lease_attempts)
			return -1;
		step_back();
	}
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
	int path_fd = open(path, O_PATH | O_CLOEXEC);
	if (path_fd < 0)
		return no_target;
	struct stat checked;
	struct statfs file_system;
	int fd = -1;
	if (fstat(path_fd, &checked) == 0 && S_ISREG(checked.st_mode) &&
	    fstatfs(path_fd, &file_system) == 0 &&
	    !on_pseudo_file_system(static_cast<uint32_t>(file_system.f_type)) &&
	    !is_standard_output(checked))
		fd = open_leased(path_fd, path, checked,
		                 !leases_mean_nothing(
		                         static_cast<uint32_t>(file_system.f_type)));
	close(path_fd);
	if (fd >= 0 && !lock_whole_file(fd)) {
		close(fd);
		fd = -1;
	}
	return fd < 0 ? no_target : fd;
}

// Positioned reads and writes, flushing and closing.

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

bool flush_target(target_file file)
{
	while (fdatasync(static_cast<int>(file)) != 0)
		if (errno != EINTR)
			return false;
	return true;
}

bool close_target(target_file file)
{
	// After EINTR the descriptor is gone on Linux; closing it again could
	// close another file's.
	return close(static_cast<int>(file)) == 0 || errno == EINTR;
}

// How the report leaves: every byte, through short writes, EINTR and a
// non-blocking descriptor, whose flags belong to every process sharing it.

void write_report(const char *text, size_t count)
{
	while (count > 0) {
		ssize_t put = write(STDOUT_FILENO, text, count);
		if (put > 0) {
			text += put;
			count -= static_cast<size_t>(put);
		} else if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
			struct pollfd output = {STDOUT_FILENO, POLLOUT, 0};
			poll(&output, 1, -1);
		} else if (!(put < 0 && errno == EINTR)) {
			return;
		}
	}
}
