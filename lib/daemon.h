// Detaching into the background with a locked pid file, and removing that file at the end.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

// Remembers which descriptors are open now, before the program opens any of its own. Called
// first thing in main: daemon_init later closes only these, so connections the program opened
// before detaching (database drivers, for one) stay usable.
void daemon_note_inherited_fds();

// Forks (unless started by init or inetd), starts a new session, moves to "/", sets the umask 027,
// closes the inherited descriptors, puts 0, 1 and 2 on /dev/null (unless started by inetd) and,
// when `name` is given, writes and locks the pid file. 0, or -1 with errno.
int daemon_init(const char* name);

// Removes the pid file this process holds, if any. 0, or -1 with errno.
int daemon_close();

// The SIGABRT handler: removes the pid file, writes "Caught signal N. Exiting." to the log (or
// standard error) and ends the process by the signal's default action. Only async-signal-safe
// calls: an abort inside the allocator or the logger, whose locks may be held, still ends.
void daemon_on_abort(int signo);

// Creates, locks and writes the pid file for `name`. 0, or -1.
int daemon_pidfile(const char* name);

// 1 when the parent process is init (process 1), else 0.
int daemon_started_by_init();

// 1 when descriptor 0 is a socket, else 0.
int daemon_started_by_inetd();

// The pid file path for `name`: the name itself when absolute, else "/var/run/NAME.pid" for root
// and "/tmp/NAME.pid" for other users. 0, or -1 with ENAMETOOLONG.
int daemon_construct_pidfile(const char* name, std::string& pidfile);

// Opens (creating it with `mode`, whatever the umask, if needed) and write-locks a lock file
// without waiting; an existing file is opened without following a symbolic link, and given
// `mode` when this process's user owns it. The daemon only ever takes write locks: a read lock
// in the way was taken by someone who could read the file (a pid file is readable by all), so
// the file is replaced by a new one, locked before it takes the path. The descriptor, or -1
// (another process holds the write lock, or the file cannot be opened or replaced).
int daemon_lock_pidfile(const char* path, mode_t mode = 0644);

// The process that holds the write lock of the lock file at `path`, or 0 when none does (a read
// lock is never a daemon's).
pid_t daemon_lock_holder(const char* path);

// The process that holds the lock on the pid file for `name`, or 0 when none does.
pid_t daemon_pidfile_holder(const char* name);

// fcntl record lock over [start, start + len) with the given command and lock type.
int fcntl_lock(int fd, int cmd, int type, int whence, off_t start, off_t len);
