// The system-log and log-file writers.
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "logger/logger.h"

namespace fs = std::filesystem;

namespace {

// Root-only checks may only skip outside CI.
#define REQUIRE_ROOT()                                                 \
	do {                                                           \
		if (geteuid() != 0) {                                  \
			const char *ci = getenv("CI");                 \
			if (ci && strcmp(ci, "true") == 0)             \
				FAIL() << "needs root; CI may not skip"; \
			GTEST_SKIP() << "needs root for namespaces and chown"; \
		}                                                      \
	} while (0)

struct temp_dir {
	fs::path path;
	temp_dir()
	{
		char name[] = "/tmp/sinks_test.XXXXXX";
		if (mkdtemp(name))
			path = name;
	}
	~temp_dir()
	{
		std::error_code ec;
		fs::remove_all(path, ec);
	}
};

std::string slurp(const fs::path &p)
{
	std::ifstream in(p, std::ios::binary);
	std::ostringstream out;
	out << in.rdbuf();
	return out.str();
}

std::string user_name()
{
	const passwd *pw = getpwuid(geteuid());
	return pw ? pw->pw_name : "";
}

fs::path log_file(const fs::path &user_dir, pid_t pid)
{
	return user_dir / ("app-" + std::to_string(pid) + ".log");
}

struct log_dir_fixture : testing::Test {
	temp_dir tmp;
	std::string base = tmp.path.string();
	log_file_settings settings{base.c_str(), "qlog", "app"};
	fs::path user_dir = tmp.path / ("qlog-" + user_name());
	fs::path own_file = log_file(user_dir, getpid());
	fs::path elsewhere = tmp.path / "elsewhere";
	fs::path victim = tmp.path / "victim";

	void SetUp() override { ASSERT_FALSE(tmp.path.empty()); }
};

TEST_F(log_dir_fixture, AppendsPerProcessWithPrivateModes)
{
	logfile_writer(LEVEL_ERROR, "one\n", &settings);
	logfile_writer(LEVEL_DEBUG, "two\n", &settings);
	EXPECT_EQ(slurp(own_file), "one\ntwo\n");

	struct stat st;
	ASSERT_EQ(lstat(user_dir.c_str(), &st), 0);
	EXPECT_TRUE(S_ISDIR(st.st_mode));
	EXPECT_EQ(st.st_mode & 07777, 0700u);
	ASSERT_EQ(lstat(own_file.c_str(), &st), 0);
	EXPECT_TRUE(S_ISREG(st.st_mode));
	EXPECT_EQ(st.st_mode & 07777, 0600u);

	pid_t child = fork();
	ASSERT_GE(child, 0);
	if (child == 0) {
		logfile_writer(LEVEL_INFO, "child\n", &settings);
		_exit(0);
	}
	int status = 0;
	ASSERT_EQ(waitpid(child, &status, 0), child);
	EXPECT_EQ(slurp(log_file(user_dir, child)), "child\n");
	EXPECT_EQ(slurp(own_file), "one\ntwo\n");
}

TEST_F(log_dir_fixture, IncompleteSettingsWriteNothing)
{
	const char *b = base.c_str();
	log_file_settings cases[] = {
		{nullptr, "qlog", "app"}, {b, nullptr, "app"}, {b, "qlog", nullptr}};
	for (auto &c : cases)
		logfile_writer(LEVEL_ERROR, "x\n", &c);
	logfile_writer(LEVEL_ERROR, "x\n", nullptr);
	EXPECT_TRUE(fs::is_empty(tmp.path));
}

// Each case plants something in place of the per-user directory or the file
// and checks that the record goes nowhere.
TEST_F(log_dir_fixture, RefusesPlantedLinksAndSharedDirectories)
{
	struct plant {
		const char *name;
		void (*make)(const log_dir_fixture &);
	} plants[] = {
		{"directory link", [](const log_dir_fixture &f) {
			 fs::create_directory_symlink(f.elsewhere, f.user_dir);
		 }},
		{"file link", [](const log_dir_fixture &f) {
			 mkdir(f.user_dir.c_str(), 0700);
			 fs::create_symlink(f.victim, f.own_file);
		 }},
		{"group writable", [](const log_dir_fixture &f) {
			 mkdir(f.user_dir.c_str(), 0700);
			 chmod(f.user_dir.c_str(), 0770);
		 }},
		{"others writable", [](const log_dir_fixture &f) {
			 mkdir(f.user_dir.c_str(), 0700);
			 chmod(f.user_dir.c_str(), 0703);
		 }},
		{"regular file", [](const log_dir_fixture &f) {
			 std::ofstream(f.user_dir).put('x');
		 }},
	};
	for (const auto &p : plants) {
		SCOPED_TRACE(p.name);
		fs::create_directory(elsewhere);
		std::ofstream(victim).close();
		p.make(*this);

		logfile_writer(LEVEL_ERROR, "secret\n", &settings);
		EXPECT_TRUE(fs::is_empty(elsewhere));
		EXPECT_EQ(fs::file_size(victim), 0u);
		EXPECT_FALSE(fs::is_regular_file(fs::symlink_status(own_file)));

		for (const auto &e : {user_dir, elsewhere, victim})
			fs::remove_all(e);
	}
}

TEST_F(log_dir_fixture, RefusesDirectoryOfAnotherUser)
{
	REQUIRE_ROOT();
	ASSERT_EQ(mkdir(user_dir.c_str(), 0700), 0);
	ASSERT_EQ(chown(user_dir.c_str(), 65534, 65534), 0);
	logfile_writer(LEVEL_ERROR, "secret\n", &settings);
	EXPECT_TRUE(fs::is_empty(user_dir));
}

// Real nested directories, so that a path cut at the buffer's end would name
// a creatable file or directory.
fs::path make_deep_dir(fs::path p, size_t length)
{
	while (p.string().size() < length) {
		size_t room = length - p.string().size() - 1;
		p /= std::string(room > 250 ? 200 : room, 'd');
	}
	fs::create_directories(p);
	return p;
}

TEST_F(log_dir_fixture, DropsPathsThatDoNotFit)
{
	size_t dir_tail = std::string("/qlog-").size() + user_name().size();
	struct overflow {
		const char *name;
		size_t base_length;
		size_t file_prefix_length;
	} cases[] = {
		{"directory path", 4095 - dir_tail + 2, 3},
		{"file path", 3850, 4095 - 3850 - dir_tail - 1 + 2},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		fs::path deep = make_deep_dir(tmp.path / "deep", c.base_length);
		ASSERT_EQ(deep.string().size(), c.base_length);
		std::string deep_text = deep.string();
		std::string prefix(c.file_prefix_length, 'f');
		log_file_settings s{deep_text.c_str(), "qlog", prefix.c_str()};
		logfile_writer(LEVEL_ERROR, "x\n", &s);

		// At most the per-user directory may exist, and it stays empty.
		for (const auto &e : fs::directory_iterator(deep)) {
			EXPECT_EQ(e.path().filename(), "qlog-" + user_name());
			EXPECT_TRUE(fs::is_empty(e.path()));
		}
		fs::remove_all(tmp.path / "deep");
	}
}

// Runs in a forked child with a mount namespace of its own, where our socket
// stands at /dev/log; reports every datagram it gets, length-prefixed.
[[noreturn]] void capture_syslog(int out)
{
	if (unshare(CLONE_NEWNS) != 0 ||
	    mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
	    mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0)
		_exit(2);
	int dgram = socket(AF_UNIX, SOCK_DGRAM, 0);
	sockaddr_un addr{};
	addr.sun_family = AF_UNIX;
	strcpy(addr.sun_path, "/dev/log");
	if (dgram < 0 || bind(dgram, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0)
		_exit(3);

	for (int level = LEVEL_NONE; level <= LEVEL_DUMP; level++) {
		std::string text = "record of level " + std::to_string(level) + "\n";
		syslog_writer(level, text.c_str(), nullptr);
	}
	// Local datagrams are queued by the time the sender returns.
	char buf[1024];
	ssize_t n;
	while ((n = recv(dgram, buf, sizeof(buf), MSG_DONTWAIT)) > 0) {
		uint32_t len = static_cast<uint32_t>(n);
		if (write(out, &len, sizeof(len)) != sizeof(len) || write(out, buf, len) != n)
			_exit(4);
	}
	_exit(0);
}

TEST(syslog_writer, SendsLevelsOneToFiveAtDebugPriority)
{
	REQUIRE_ROOT();
	int fds[2];
	ASSERT_EQ(pipe(fds), 0);
	pid_t child = fork();
	ASSERT_GE(child, 0);
	if (child == 0) {
		close(fds[0]);
		capture_syslog(fds[1]);
	}
	close(fds[1]);
	std::string stream;
	char buf[4096];
	ssize_t n;
	while ((n = read(fds[0], buf, sizeof(buf))) > 0)
		stream.append(buf, static_cast<size_t>(n));
	close(fds[0]);
	int status = 0;
	ASSERT_EQ(waitpid(child, &status, 0), child);
	ASSERT_TRUE(WIFEXITED(status));
	ASSERT_EQ(WEXITSTATUS(status), 0) << "2: namespace, 3: socket, 4: pipe";

	std::vector<std::string> grams;
	for (size_t at = 0; at + 4 <= stream.size();) {
		uint32_t len;
		memcpy(&len, stream.data() + at, sizeof(len));
		grams.push_back(stream.substr(at + 4, len));
		at += 4 + len;
	}
	ASSERT_EQ(grams.size(), 5u);
	for (int level = LEVEL_SERVICE; level <= LEVEL_DEBUG; level++) {
		const std::string &g = grams[level - 1];
		EXPECT_EQ(g.substr(0, 4), "<15>") << g;
		EXPECT_NE(g.find("record of level " + std::to_string(level) + "\n"),
			  std::string::npos) << g;
	}
}

} // namespace
