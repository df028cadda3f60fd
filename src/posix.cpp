// The platform layer on Linux: a regular file on a real file system, held
// with a write lease and both kinds of lock, moved with positioned reads and
// writes, and a report that always reaches standard output whole.
#include "bitmend.h"

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <initializer_list>
#include <linux/magic.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

// Set before the first byte of output: the report goes nowhere, and the run
// may patch nothing.
static bool report_dropped;
static bool target_refused;

static bool same_file(const struct stat &a, const struct stat &b)
{
	return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Trusting /proc. Anything can be mounted over /proc, and procfs itself
// elsewhere: an entry is opened only where its folder is procfs and the
// entry is still the inode looked at, the one wanted or else a regular file
// of that procfs. *genuine tells whether the folder was procfs.

static int open_from_procfs(const char *folder, const char *name, int flags,
                            const struct stat *wanted, bool *genuine)
{
	int dir = open(folder, O_PATH | O_DIRECTORY | O_CLOEXEC);
	struct statfs file_system;
	struct stat dir_status, entry, opened;
	*genuine = dir >= 0 && fstatfs(dir, &file_system) == 0 &&
	           file_system.f_type == PROC_SUPER_MAGIC &&
	           fstat(dir, &dir_status) == 0;
	int fd = -1;
	if (*genuine && fstatat(dir, name, &entry, 0) == 0 &&
	    (wanted ? same_file(entry, *wanted)
	            : S_ISREG(entry.st_mode) && entry.st_dev == dir_status.st_dev))
		fd = openat(dir, name, flags);
	if (dir >= 0)
		close(dir);
	if (fd >= 0 && (fstat(fd, &opened) != 0 || !same_file(opened, entry))) {
		close(fd);
		return -1;
	}
	return fd;
}

// Opens fd's inode again with flags through /proc/self/fd; where that is
// no procfs, opens the path again, kept only if it leads to the same inode.
static int reopen(int fd, const char *path, const struct stat &checked,
                  int flags)
{
	char name[16] = {};
	std::to_chars(name, name + sizeof name - 1, fd);
	bool genuine;
	int opened = open_from_procfs("/proc/self/fd", name, flags, &checked,
	                              &genuine);
	if (genuine)
		return opened;
	opened = open(path, flags);
	struct stat status;
	if (opened >= 0 &&
	    (fstat(opened, &status) != 0 || !same_file(status, checked))) {
		close(opened);
		return -1;
	}
	return opened;
}

// The process's setup: closed standard descriptors get the null device, and
// a standard output that writes to the target gets nothing.

// The null device, only if it is one: a file bound over /dev/null would
// take the report.
static int open_null()
{
	int path_fd = open("/dev/null", O_PATH | O_CLOEXEC);
	if (path_fd < 0)
		return -1;
	struct stat checked;
	int fd = -1;
	if (fstat(path_fd, &checked) == 0 && S_ISCHR(checked.st_mode) &&
	    checked.st_rdev == makedev(1, 3))
		fd = reopen(path_fd, "/dev/null", checked,
		           O_RDWR | O_NONBLOCK | O_NOCTTY);
	close(path_fd);
	return fd;
}

static bool output_writes_to(const struct stat &file)
{
	struct stat output;
	return fstat(STDOUT_FILENO, &output) == 0 && S_ISREG(output.st_mode) &&
	       same_file(output, file);
}

static void send_report_nowhere()
{
	int null = open_null();
	if (null < 0 || dup2(null, STDOUT_FILENO) < 0)
		report_dropped = true;
	if (null > STDERR_FILENO)
		close(null);
}

void prepare_process(const char *path)
{
	// A closed standard descriptor is the next one that open hands out, and
	// the report would go into the target file: each gets the null device,
	// and without one the run does nothing at all.
	struct pollfd standard[3] = {{STDIN_FILENO, 0, 0}, {STDOUT_FILENO, 0, 0},
	                             {STDERR_FILENO, 0, 0}};
	if (poll(standard, 3, 0) >= 0 &&
	    ((standard[0].revents | standard[1].revents | standard[2].revents) &
	     POLLNVAL)) {
		int null = open_null();
		for (const struct pollfd &fd : standard)
			if ((fd.revents & POLLNVAL) && fd.fd != null &&
			    (null < 0 || dup2(null, fd.fd) < 0))
				report_dropped = target_refused = true;
		if (null > STDERR_FILENO)
			close(null);
	}
	// A report written into the target would be bytes outside the range,
	// refusals included: compared before the first byte of output.
	struct stat target;
	if (path && stat(path, &target) == 0 && output_writes_to(target)) {
		target_refused = true;
		send_report_nowhere();
	}
	// A closed report pipe or a file-size limit must not stop a patch
	// halfway.
	signal(SIGPIPE, SIG_IGN);
	signal(SIGXFSZ, SIG_IGN);
}

// Interruptions held back: from the open until the report is out, every
// signal but the tool's own faults waits, then takes effect as sent. SIGIO,
// a lease break, and SIGCONT, after a stop of unknown length, are noted.

static sigset_t mask_before;
static volatile sig_atomic_t break_noted, continued;
static struct timespec break_began;

static void note_break(int)
{
	if (!break_noted)
		clock_gettime(CLOCK_MONOTONIC, &break_began);
	break_noted = 1;
}

static void note_continue(int)
{
	continued = 1;
}

void hold_interruptions()
{
	struct sigaction noting = {};
	noting.sa_flags = SA_RESTART;
	noting.sa_handler = note_break;
	sigaction(SIGIO, &noting, nullptr);
	noting.sa_handler = note_continue;
	sigaction(SIGCONT, &noting, nullptr);
	sigset_t held;
	sigfillset(&held);
	for (int passing : {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGSYS,
	                    SIGTRAP, SIGIO, SIGCONT})
		sigdelset(&held, passing);
	sigprocmask(SIG_BLOCK, &held, &mask_before);
}

void release_interruptions()
{
	sigprocmask(SIG_SETMASK, &mask_before, nullptr);
}

// Holding the file. The kernel drops a broken lease lease-break-time
// seconds after the break began (never, where that is 0); only a break
// younger than that, less a margin for the signal's way, leaves the file
// ours.

static long lease_break_seconds()
{
	bool genuine;
	int fd = open_from_procfs("/proc/sys/fs", "lease-break-time",
	                          O_RDONLY | O_NONBLOCK | O_CLOEXEC, nullptr,
	                          &genuine);
	char text[24] = {};
	long seconds = -1;
	if (fd >= 0 && read(fd, text, sizeof text - 1) > 0 && text[0] >= '0' &&
	    text[0] <= '9')
		seconds = strtol(text, nullptr, 10);
	if (fd >= 0)
		close(fd);
	return seconds;
}

bool still_held(target_file)
{
	if (!break_noted)
		return true;
	if (continued)
		return false;
	long seconds = lease_break_seconds();
	if (seconds <= 0)
		return seconds == 0;
	struct timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	int64_t elapsed_ms = (now.tv_sec - break_began.tv_sec) * int64_t{1000} +
	                     (now.tv_nsec - break_began.tv_nsec) / 1000000;
	int64_t limit_ms = seconds * int64_t{1000};
	int64_t margin_ms = limit_ms / 2 < 1000 ? limit_ms / 2 : 1000;
	return elapsed_ms < limit_ms - margin_ms;
}

// What is refused: anything but a regular file with a name, files of the
// kernel's pseudo-file systems, whose "bytes" are settings and reports, and
// the file that standard output writes to.

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

// A memfd, a shared-memory segment or a deleted file has no link: the
// kernel does not count it as open elsewhere, so no lease would keep its
// other users out.
static bool is_named_regular_file(const struct stat &status)
{
	return S_ISREG(status.st_mode) && status.st_nlink > 0;
}

// Opening for exclusive use. The path is first opened with no access at
// all, which opens no FIFO or device however the path changes; only the
// inode so checked is then opened for reading and writing.

constexpr int lease_attempts = 10;

static void step_back()
{
	uint16_t noise = 0;
	if (getrandom(&noise, sizeof noise, GRND_NONBLOCK) != sizeof noise)
		noise = static_cast<uint16_t>(getpid());
	struct timespec pause = {0, 1000000L + noise % 4000 * 1000L};
	nanosleep(&pause, nullptr);
}

// The data descriptor: above the standard ones, which would take the
// report, and non-blocking, so that a mandatory lock or a lease held
// elsewhere refuses the open instead of stalling it.
static int open_for_data(int path_fd, const char *path,
                         const struct stat &checked)
{
	int fd = reopen(path_fd, path, checked,
	                O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
	if (fd >= 0 && fd <= STDERR_FILENO) {
		close(fd);
		return -1;
	}
	return fd;
}

// A write lease is granted only while no other process has the file open or
// mapped, and while it is held other opens wait. Two runs that open at once
// each see the other and are both refused: each steps back for a random
// 1 to 5 ms and tries again, so one of them wins, within about 50 ms.
static int open_leased(int path_fd, const char *path, const struct stat &checked,
                       bool lease)
{
	for (int attempt = 1;; attempt++) {
		int fd = open_for_data(path_fd, path, checked);
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

static bool may_patch(const struct stat &checked,
                      const struct statfs &file_system)
{
	if (!is_named_regular_file(checked) ||
	    on_pseudo_file_system(static_cast<uint32_t>(file_system.f_type)))
		return false;
	// The path may lead to standard output's file now, though it did not at
	// the start.
	if (output_writes_to(checked)) {
		send_report_nowhere();
		return false;
	}
	return true;
}

target_file open_exclusive(const char *path, int64_t *size)
{
	if (target_refused)
		return no_target;
	int path_fd = open(path, O_PATH | O_CLOEXEC);
	if (path_fd < 0)
		return no_target;
	struct stat checked;
	struct statfs file_system;
	int fd = -1;
	if (fstat(path_fd, &checked) == 0 &&
	    fstatfs(path_fd, &file_system) == 0 && may_patch(checked, file_system)) {
		bool lease = !leases_mean_nothing(
			static_cast<uint32_t>(file_system.f_type));
		fd = open_leased(path_fd, path, checked, lease);
	}
	close(path_fd);
	if (fd >= 0 && !lock_whole_file(fd)) {
		close(fd);
		fd = -1;
	}
	if (fd < 0)
		return no_target;
	*size = checked.st_size;
	return fd;
}

// Moving bytes: a single call each at an offset, which the patch run
// repeats while a transfer falls short.

int32_t read_at(target_file file, uint32_t offset, uint8_t *bytes,
                uint32_t count)
{
	ssize_t got;
	do
		got = pread(static_cast<int>(file), bytes, count, off_t{offset});
	while (got < 0 && errno == EINTR);
	return static_cast<int32_t>(got);
}

int32_t write_at(target_file file, uint32_t offset, const uint8_t *bytes,
                 uint32_t count)
{
	ssize_t put;
	do
		put = pwrite(static_cast<int>(file), bytes, count, off_t{offset});
	while (put < 0 && errno == EINTR);
	return static_cast<int32_t>(put);
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
// A reader gone away (EPIPE) has chosen not to read the rest; any other
// failure loses lines.

bool write_report(const char *text, size_t count)
{
	while (count > 0 && !report_dropped) {
		ssize_t put = write(STDOUT_FILENO, text, count);
		if (put > 0) {
			text += put;
			count -= static_cast<size_t>(put);
		} else if (put < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
			struct pollfd output = {STDOUT_FILENO, POLLOUT, 0};
			poll(&output, 1, -1);
		} else if (!(put < 0 && errno == EINTR)) {
			return put < 0 && errno == EPIPE;
		}
	}
	return true;
}
