// The administrator's URL policy in the service process: read again on SIGHUP.
#include <event2/event.h>
#include <signal.h>

#include <cerrno>
#include <utility>

#include "protocol/policy.h"
#include "service/service.h"

const char POLICY_FILE[] = QUILLMERE_POLICY_FILE;
event *reload_event = nullptr;

void sighup_cb(evutil_socket_t, short, void *)
{
	url_policy policy;
	policy_error error;
	int r = load_policy(POLICY_FILE, &policy, &error);
	// An editor may be replacing the file: the old policy stays until it is back.
	if (r == -ENOENT) {
		SERVICE_LOG(LEVEL_WARNING, "bad policy: %s", error.text);
		return;
	}
	if (r != 0) {
		SERVICE_LOG(LEVEL_ERROR, "bad policy: %s", error.text);
		return;
	}
	set_policy(std::move(policy));
	char allowed[128];
	describe_policy(current_policy(), allowed, sizeof allowed);
	SERVICE_LOG(LEVEL_INFO, "policy reloaded: %s", allowed);
}

void ignore_reload()
{
	event_del(reload_event);
	// Said outright rather than left to what libevent restores: openers inherit it.
	signal(SIGHUP, SIG_IGN);
}
