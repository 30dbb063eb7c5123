// The URL policy: its file's form, the checks on the file itself, and which
// URLs a policy lets through.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "protocol/policy.h"
#include "protocol/process.h"

event_base *ev_base;
logger *plgr;

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using strings = std::vector<std::string>;

const unsigned char *bytes(const std::string &text)
{
	return reinterpret_cast<const unsigned char *>(text.data());
}

url_policy allowing(strings schemes)
{
	url_policy policy;
	policy.every_scheme = false;
	policy.schemes = std::move(schemes);
	return policy;
}

struct parse_case {
	std::string text;
	// Set: the schemes of an accepted file; unset with no error: every scheme.
	std::optional<strings> schemes;
	std::string error;
};

TEST(ParsePolicy, Table)
{
	const parse_case cases[] = {
		{"", std::nullopt, ""},
		{"# nothing set yet\n\n  \t\n#schemes = https\n", std::nullopt, ""},
		{"schemes = https http mailto\n", strings{"https", "http", "mailto"}, ""},
		{"schemes=https", strings{"https"}, ""},
		{"  schemes\t=\tHTTPS  Mailto https \r\n", strings{"https", "mailto"}, ""},
		{"schemes =\n", strings{}, ""},
		{"schemes = web+app x-custom.v2\n", strings{"web+app", "x-custom.v2"}, ""},
		{"[quillmere]\nschemes = https\n", {}, "f:1: section headers are not allowed"},
		{"# web only\nschemes: https\n", {}, "f:2: expected '=' after the key, not ':'"},
		{"schemes = https\nschemes = http\n", {}, "f:2: key schemes given twice"},
		{"schemes = https\n\n\nscheme = http\n", {}, "f:4: unknown key scheme"},
		{"Schemes = https\n", {}, "f:1: unknown key Schemes"},
		{"sch emes = https\n", {}, "f:1: unknown key"},
		// A name too long to repeat would swamp the record.
		{std::string(65, 'k') + " = https\n", {}, "f:1: unknown key"},
		{"schemes https\n", {}, "f:1: expected key = value"},
		{" = https\n", {}, "f:1: missing key before '='"},
		{"schemes = https: mailto\n", {}, "f:1: not a scheme: https:"},
		{"schemes = https # web\n", {}, "f:1: not a scheme: #"},
		{"schemes = 9p\n", {}, "f:1: not a scheme: 9p"},
		{"schemes = ht\x01tp\n", {}, "f:1: not a scheme"},
		{"schemes = https\0 file\n"s, {}, "f:1: NUL byte in line"},
	};
	for (const parse_case &c : cases) {
		SCOPED_TRACE(c.text);
		url_policy policy = allowing({"untouched"});
		policy_error error {};
		int r = parse_policy(c.text, "f", &policy, &error);
		if (!c.error.empty()) {
			EXPECT_EQ(r, -1);
			EXPECT_EQ(error.text, c.error);
			EXPECT_EQ(policy.schemes, strings{"untouched"});
			continue;
		}
		ASSERT_EQ(r, 0) << error.text;
		EXPECT_EQ(policy.every_scheme, !c.schemes.has_value());
		EXPECT_EQ(policy.schemes, c.schemes.value_or(strings{}));
	}
}

// The reason starts with the file's name; one too long for it leaves a
// reason cut short, never one written past its end.
TEST(ParsePolicy, FileNameLongerThanTheReason)
{
	policy_error error {};
	url_policy policy = allowing({"untouched"});
	const std::string file(sizeof error.text + 10, 'p');
	EXPECT_EQ(parse_policy("[x]\n", file.c_str(), &policy, &error), -1);
	EXPECT_EQ(std::string(error.text), file.substr(0, sizeof error.text - 1));
	EXPECT_EQ(policy.schemes, strings{"untouched"});
}

TEST(UrlScheme, Table)
{
	const std::pair<std::string, std::string> cases[] = {
		{"https://x", "https"},
		{"MAILTO:a@b", "MAILTO"},
		{"web+app-1.x:y", "web+app-1.x"},
		{"a:", "a"},
		{"C:\\dir", "C"},
		{"/etc/passwd", ""},
		{"relative/path:x", ""},
		{":x", ""},
		{"1a:x", ""},
		{"+a:x", ""},
		{"ab cd:x", ""},
		{"https", ""},
		{"", ""},
		// The opener sees only the bytes before the first NUL.
		{"https\0://x"s, ""},
		{"smb\0https://x"s, ""},
		{"https://x\0smb:"s, "https"},
	};
	for (const auto &[url, scheme] : cases) {
		SCOPED_TRACE(url);
		EXPECT_EQ(url_scheme(bytes(url), url.size()), scheme);
	}
}

TEST(PolicyPermits, Table)
{
	const url_policy every;
	const url_policy web_and_mail = allowing({"https", "mailto"});
	const url_policy files = allowing({"file"});
	const url_policy nothing = allowing({});
	struct {
		const url_policy &policy;
		std::string url;
		bool permitted;
	} cases[] = {
		{every, "smb://h/s", true},
		{every, "", true},
		{web_and_mail, "https://x", true},
		{web_and_mail, "HtTpS://x", true},
		{web_and_mail, "MAILTO:a@b", true},
		{web_and_mail, "http://x", false},
		{web_and_mail, "httpsx://x", false},
		{web_and_mail, "file:///etc/passwd", false},
		{web_and_mail, "/etc/passwd", false},
		{web_and_mail, "smb://h/s", false},
		{web_and_mail, "", false},
		{web_and_mail, "https\0://x"s, false},
		{files, "/etc/passwd", true},
		{files, "FILE:///etc/passwd", true},
		{files, "https://x", false},
		{nothing, "https://x", false},
		{nothing, "/etc/passwd", false},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.url);
		EXPECT_EQ(policy_permits(c.policy, bytes(c.url), c.url.size()), c.permitted);
	}
}

void collect(int, const char *text, void *data)
{
	static_cast<strings *>(data)->push_back(text);
}

TEST(PolicyAllows, RefusalNamesTheSchemeAndUidOnly)
{
	logger log;
	strings records;
	logger_init(&log);
	ASSERT_EQ(logger_set_format(&log, "%V %F: %m%n"), 0);
	logger_set_level(&log, LEVEL_DUMP);
	logger_set_writer(&log, collect, &records);
	plgr = &log;
	set_policy(allowing({"https"}));

	std::string uid = std::to_string(getuid());
	const std::pair<std::string, std::string> refused[] = {
		{"SMB://secret-host/share", "smb"},
		{"/etc/secret", "file"},
		{std::string(70, 'a') + ":secret", std::string(64, 'a') + "..."},
	};
	for (const auto &[url, shown] : refused) {
		SCOPED_TRACE(url);
		records.clear();
		EXPECT_FALSE(policy_allows(bytes(url), url.size()));
		EXPECT_EQ(records, strings{"WARNING policy_allows: refused scheme " + shown + " for uid " + uid + "\n"});
	}
	records.clear();
	EXPECT_TRUE(policy_allows(bytes("https://x"s), 9));
	EXPECT_TRUE(records.empty());

	set_policy({});
	plgr = nullptr;
	logger_destroy(&log);
}

class PolicyFile : public ::testing::Test {
protected:
	void SetUp() override
	{
		std::string pattern = (fs::temp_directory_path() / "quillmere-policy-XXXXXX").string();
		ASSERT_NE(mkdtemp(pattern.data()), nullptr);
		dir = pattern;
		path = (dir / "quillmere.conf").string();
	}
	void TearDown() override { fs::remove_all(dir); }

	void write(const std::string &text, mode_t mode = 0644)
	{
		std::ofstream(path, std::ios::binary) << text;
		ASSERT_EQ(chmod(path.c_str(), mode), 0);
	}

	// 0 or the result, with the reason after the path.
	std::pair<int, std::string> load(url_policy *policy)
	{
		policy_error error {};
		int r = load_policy(path.c_str(), policy, &error);
		std::string text = error.text;
		if (text.starts_with(path))
			text.erase(0, path.size());
		return {r, r == 0 ? "" : text};
	}

	fs::path dir;
	std::string path;
};

TEST_F(PolicyFile, MissingIsNoFileButADanglingLinkIsBad)
{
	url_policy policy;
	EXPECT_EQ(load(&policy), std::make_pair(-ENOENT, ":0: No such file or directory"s));
	ASSERT_EQ(symlink((dir / "gone").c_str(), path.c_str()), 0);
	EXPECT_EQ(load(&policy), std::make_pair(-1, ":0: symbolic link to a missing file"s));
	EXPECT_TRUE(policy.every_scheme);
}

TEST_F(PolicyFile, OnlyARegularFileIsRead)
{
	url_policy policy;
	fs::create_directory(path);
	EXPECT_EQ(load(&policy), std::make_pair(-1, ":0: not a regular file"s));
	fs::remove(path);
	// Opened without blocking: no writer ever comes.
	ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
	EXPECT_EQ(load(&policy), std::make_pair(-1, ":0: not a regular file"s));
}

TEST_F(PolicyFile, OwnerModeAndSize)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "needs root to own the file";
	url_policy policy;
	write("schemes = https\n");
	EXPECT_EQ(load(&policy), std::make_pair(0, ""s));
	EXPECT_EQ(policy.schemes, strings{"https"});

	for (mode_t mode : {0664, 0646, 0666}) {
		write("schemes = http\n", mode);
		EXPECT_EQ(load(&policy), std::make_pair(-1, ":0: writable by group or others"s)) << mode;
	}
	write("schemes = http\n");
	ASSERT_EQ(chown(path.c_str(), 65534, 0), 0);
	EXPECT_EQ(load(&policy), std::make_pair(-1, ":0: not owned by root"s));
	ASSERT_EQ(chown(path.c_str(), 0, 0), 0);

	std::string largest = "schemes = http\n" + std::string(POLICY_MAX_SIZE - 15, '#');
	write(largest);
	EXPECT_EQ(load(&policy), std::make_pair(0, ""s));
	write(largest + "#");
	EXPECT_EQ(load(&policy), std::make_pair(-1, ":0: larger than 65536 bytes"s));
	EXPECT_EQ(policy.schemes, strings{"http"});

	write("# ok\nschemes = http\n[x]\n");
	EXPECT_EQ(load(&policy), std::make_pair(-1, ":3: section headers are not allowed"s));

	// A link is followed; what it leads to is what is judged.
	fs::path target = dir / "real.conf";
	fs::rename(path, target);
	ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
	std::ofstream(target) << "schemes = mailto\n";
	EXPECT_EQ(load(&policy), std::make_pair(0, ""s));
	EXPECT_EQ(policy.schemes, strings{"mailto"});
}

} // namespace
