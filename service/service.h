// The service process: the listening socket, one connection child per
// accepted connection, and the switch of that child to the peer's identity.
#pragma once

#include <event2/util.h>
#include <sys/socket.h>

#include <cstdint>
#include <span>
#include <string_view>

#include "logger/logger.h"
#include "protocol/process.h"

struct event;

// Every record of the service process names the source file "main".
#define SERVICE_LOG(level, ...) LOGGER_LOG(plgr, (level), "main", __func__, __VA_ARGS__)

// Live connection children a user may have at once, and all users together.
// Root's connections count only toward the total.
constexpr unsigned MAX_CONNECTIONS_PER_USER = 32;
constexpr unsigned MAX_CONNECTIONS = 256;

// Created by main; a connection child takes it out of its loop.
extern event *child_exit_event;
// Set in a connection child at once after the fork.
extern int child_flag;

// The administrator's URL policy, read at start and again on SIGHUP.
extern const char POLICY_FILE[];
extern event *reload_event;
void sighup_cb(evutil_socket_t signal, short events, void *arg);
// For a connection child: only the service process reloads, and the openers a
// child starts must inherit SIGHUP ignored.
void ignore_reload();

// The listening socket handed over by the service manager, checked to be
// the service's own; -ENOENT when none was, -EINVAL after a bad one.
int inherited_listener();
int create_server_socket();
void close_server_socket();
void accept_cb(evutil_socket_t fd, short events, void *arg);
void sigchld_cb(evutil_socket_t signal, short events, void *arg);

// Notes the service's own mount namespace and root directory, which callers'
// are compared with, once for all its children: 0, or a negated errno after
// which each child looks them up itself.
int note_own_root();
// The user a caller's connections count against: its own uid, or, for a
// caller in a user namespace below the service's, the uid that owns the
// outermost of those namespaces unless that is root, so that a user's
// subordinate ids do not multiply its limit. 0 with *uid set, or a negated
// errno when the caller cannot be looked at (it is gone).
int accountable_uid(const ucred &cred, uid_t *uid);
// Whether a line of /proc/PID/status shows a policy that confines the
// process: no new privileges, or a seccomp mode.
bool status_line_confines(std::string_view line);
// Whether a security module's label of a process confines it: an AppArmor
// profile, or a stack of them, with one in a mode other than complain or
// unconfined. Other modules label every process, so their labels say
// nothing of a sandbox.
bool label_confines(std::string_view label);
// Makes this process the peer of the connected socket, with its session
// environment. A confined caller (another mount namespace, root directory or
// user namespace, no new privileges, a seccomp mode, an AppArmor profile) that is
// root is refused; any other gets only display and desktop names of a plain
// form, and its home, runtime directory and session bus from the service's
// own view of them. 0 on success, -1 after the reason was logged.
int change_environ(int fd);

// Where the host runs systemd, a connection child is placed, before its first
// opener starts, in a scope unit of its user's slice, so that what it starts
// is charged to, limited with and stopped with that user.
constexpr unsigned PLACEMENTS_PER_SECOND = 10;
// Notes once at start whether systemd runs the host: without it nothing of
// this is done.
void note_service_manager();
// Before the fork: a channel between the service (fds[0]) and the child
// (fds[1]), or none (-1) where nothing is placed. 0, or a negated errno.
int scope_channel(int fds[2]);
// In the service: listens for the child's one request, which the service
// answers once the manager has moved the child's pid, or refused to.
void watch_scope_channel(pid_t pid, uid_t uid, int fd);
// In the child, before the drop: closes everything of the service's
// placements, its connection to the manager first, and keeps its own end.
void enter_scope_child(int fd, int error);
// The child's request, once: waits at most a second for the answer, and logs
// why when the child stays where it is for a reason the service did not log.
void place_in_scope();
// The same over a given channel, or none (-1) for the error that left it unmade.
void ask_for_placement(int fd, int error);
// While a pid's placement is pending it is not reaped: until the manager has
// moved it, the pid must stay that child's.
bool placement_pending(pid_t pid);
size_t placements_pending();
void forget_scope_channel(pid_t pid);
// Reaps a child whose placement has settled, if it has ended meanwhile.
void reap_placed(pid_t pid);

// A scope's name is unique even when a pid comes again while an older scope
// of that pid still runs: the stamp, a boot-time clock in microseconds, only
// ever grows.
uint64_t scope_stamp(uint64_t now, uint64_t last);
void scope_unit_name(char *name, size_t size, pid_t pid, uint64_t stamp);
// The last placements of one user, to bound what the users cost the manager.
struct placement_rate {
	uid_t uid;
	uint64_t times[PLACEMENTS_PER_SECOND];
	unsigned next;
	unsigned used;
};
// Whether uid may have one more placement at now (microseconds); notes it if so.
bool placement_allowed(std::span<placement_rate> table, uid_t uid, uint64_t now);
