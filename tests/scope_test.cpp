// What a real systemd cannot show: the scope's name when a pid comes again,
// the child's record when it stays where it is, and the per-user bound.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "service/service.h"

namespace {

logger test_logger;
std::vector<std::string> records;

void collect(int, const char *text, void *)
{
	records.emplace_back(text);
}

} // namespace

event_base *ev_base = nullptr;
logger *plgr = &test_logger;

TEST(ScopeName, StaysUniqueWhenThePidComesAgain)
{
	// The same pid each time, on a clock that reads the same or less again.
	std::vector<std::string> names;
	uint64_t last = 0;
	for (uint64_t now : {5000, 5000, 4000}) {
		char name[64];
		last = scope_stamp(now, last);
		scope_unit_name(name, sizeof name, 4321, last);
		names.emplace_back(name);
		EXPECT_EQ(strspn(name, "abcdefghijklmnopqrstuvwxyz0123456789-."), strlen(name)) << name;
	}
	EXPECT_EQ(names, (std::vector<std::string> {"quillmere-4321-5000.scope", "quillmere-4321-5001.scope",
						     "quillmere-4321-5002.scope"}));
}

TEST(ScopeRate, TenASecondForEachUser)
{
	placement_rate table[2] = {};
	for (int i = 0; i < 10; i++)
		EXPECT_TRUE(placement_allowed(table, 1000, 1000000 + i * 1000)) << i;
	EXPECT_FALSE(placement_allowed(table, 1000, 1500000));
	EXPECT_TRUE(placement_allowed(table, 1001, 1500000));
	// Another user while both entries limit someone: refused, not let through unbounded.
	EXPECT_FALSE(placement_allowed(table, 1002, 1500000));
	// A second after the first of the ten.
	EXPECT_TRUE(placement_allowed(table, 1000, 2000000));
	EXPECT_TRUE(placement_allowed(table, 1002, 2600000));
}

TEST(ScopeFallback, TheChildGoesOnAndSaysWhy)
{
	ASSERT_EQ(logger_init(&test_logger), 0);
	ASSERT_EQ(logger_set_format(&test_logger, "%v %F: %m"), 0);
	logger_set_level(&test_logger, LEVEL_INFO);
	logger_set_writer(&test_logger, collect, nullptr);
	std::string pid = std::to_string(getpid());
	std::string refused = "W place_in_scope: unable to place pid " + pid + " in a scope: ";

	// The service answers, or says nothing, or is gone; or no channel was made.
	enum { SILENT, PLACED, NOT_PLACED, CLOSED, NONE };
	struct {
		int service;
		std::string record;
	} rows[] = {
		{SILENT, refused + "no answer within 1 s"},
		{PLACED, ""},
		// The service logged why itself.
		{NOT_PLACED, ""},
		{CLOSED, refused + strerror(EPIPE)},
		{NONE, refused + strerror(EMFILE)},
	};
	for (auto &row : rows) {
		records.clear();
		int fds[2] = {-1, -1};
		if (row.service != NONE) {
			ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
		}
		if (row.service == PLACED || row.service == NOT_PLACED) {
			ASSERT_EQ(write(fds[0], row.service == PLACED ? "y" : "n", 1), 1);
		}
		if (row.service == CLOSED)
			close(fds[0]);
		ask_for_placement(fds[1], EMFILE);
		std::vector<std::string> expected;
		if (!row.record.empty())
			expected.push_back(row.record);
		EXPECT_EQ(records, expected) << row.service;
		if (row.service != CLOSED && row.service != NONE) {
			// The child asked once, and names nothing: the service knows its pid.
			char asked[8];
			EXPECT_EQ(recv(fds[0], asked, sizeof asked, MSG_DONTWAIT), 1);
			close(fds[0]);
		}
	}
}
