// Logger and dump throughput, side by side with the tools a user would pick
// instead: a general-purpose logging library for records, xxd and hexdump -C
// for dumps.
#include "logger/logger.h"

#include <benchmark/benchmark.h>
#include <spdlog/logger.h>
#include <spdlog/sinks/base_sink.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

extern char **environ;

namespace {

constexpr const char SERVICE_PATTERN[] = "%v: %D: %P: %F: %m%n";
// The same record: level letter, local date and time with milliseconds,
// process id, function name, message, line feed.
constexpr const char SPDLOG_PATTERN[] = "%L: %Y.%m.%d %H:%M:%S.%e: %P: %!: %v";
constexpr size_t DUMP_SIZE = 64u << 20;

// Consumes each record the way a writer must: it only gets a C string.
void counting_writer(int, const char *text, void *data)
{
	*static_cast<size_t *>(data) += strlen(text);
}

// Formats every record and throws the text away.
class formatting_null_sink final : public spdlog::sinks::base_sink<std::mutex> {
public:
	size_t consumed = 0;

protected:
	void sink_it_(const spdlog::details::log_msg &msg) override
	{
		spdlog::memory_buf_t buf;
		formatter_->format(msg, buf);
		benchmark::DoNotOptimize(buf.data());
		consumed += buf.size();
	}
	void flush_() override {}
};

struct service_logger {
	logger lgr;
	size_t consumed = 0;

	explicit service_logger(int threshold, const char *pattern)
	{
		if (logger_init(&lgr) != 0 || logger_set_format(&lgr, pattern) != 0)
			abort();
		logger_set_level(&lgr, threshold);
		logger_set_writer(&lgr, counting_writer, &consumed);
	}
	~service_logger() { logger_destroy(&lgr); }
};

std::shared_ptr<spdlog::logger> make_spdlog(spdlog::level::level_enum threshold,
					    std::shared_ptr<formatting_null_sink> sink)
{
	auto lg = std::make_shared<spdlog::logger>("bench", sink);
	lg->set_pattern(SPDLOG_PATTERN);
	lg->set_level(threshold);
	return lg;
}

void BM_logger_log(benchmark::State &state)
{
	service_logger s(LEVEL_INFO, SERVICE_PATTERN);
	long pid = 4321;
	for (auto _ : state) {
		logger_log(&s.lgr, LEVEL_INFO, "main", __LINE__, "accept_cb",
			   "new process: %li", pid);
		pid++;
	}
	if (s.consumed == 0)
		state.SkipWithError("no record reached the writer");
	state.SetItemsProcessed(state.iterations());
}

void BM_spdlog_log(benchmark::State &state)
{
	auto sink = std::make_shared<formatting_null_sink>();
	auto lg = make_spdlog(spdlog::level::info, sink);
	long pid = 4321;
	for (auto _ : state) {
		lg->log(spdlog::source_loc{"main", __LINE__, "accept_cb"},
			spdlog::level::info, "new process: {}", pid);
		pid++;
	}
	if (sink->consumed == 0)
		state.SkipWithError("no record reached the sink");
	state.SetItemsProcessed(state.iterations());
}

void BM_logger_dropped(benchmark::State &state)
{
	service_logger s(LEVEL_ERROR, SERVICE_PATTERN);
	long pid = 4321;
	for (auto _ : state) {
		LOGGER_LOG(&s.lgr, LEVEL_DEBUG, "main", "accept_cb", "new process: %li", pid);
		pid++;
	}
	if (s.consumed != 0)
		state.SkipWithError("a dropped record reached the writer");
	state.SetItemsProcessed(state.iterations());
}

void BM_spdlog_dropped(benchmark::State &state)
{
	auto sink = std::make_shared<formatting_null_sink>();
	auto lg = make_spdlog(spdlog::level::err, sink);
	long pid = 4321;
	for (auto _ : state) {
		lg->log(spdlog::source_loc{"main", __LINE__, "accept_cb"},
			spdlog::level::debug, "new process: {}", pid);
		pid++;
	}
	if (sink->consumed != 0)
		state.SkipWithError("a dropped record reached the sink");
	state.SetItemsProcessed(state.iterations());
}

// Deterministic bytes with every value represented, printable or not.
const std::vector<unsigned char> &dump_input()
{
	static std::vector<unsigned char> data = [] {
		std::vector<unsigned char> d(DUMP_SIZE);
		uint64_t x = 0x9e3779b97f4a7c15u;
		for (auto &b : d) {
			x ^= x << 13;
			x ^= x >> 7;
			x ^= x << 17;
			b = static_cast<unsigned char>(x >> 24);
		}
		return d;
	}();
	return data;
}

std::string dump_path;

void write_all(int fd, const char *p, size_t n)
{
	while (n > 0) {
		ssize_t r = write(fd, p, n);
		if (r <= 0)
			abort();
		p += r;
		n -= static_cast<size_t>(r);
	}
}

// Hands the dump to /dev/null, as the tools it is compared with do.
void devnull_writer(int, const char *text, void *data)
{
	write_all(*static_cast<int *>(data), text, strlen(text));
}

// state.range(0) bytes per dump, as many dumps as make 64 MiB: small dumps
// reuse heap memory, so they show the cost of building the lines alone.
void BM_logger_dump(benchmark::State &state)
{
	const auto &data = dump_input();
	const size_t chunk = static_cast<size_t>(state.range(0));
	int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
	logger lgr;
	if (devnull < 0 || logger_init(&lgr) != 0 || logger_set_format(&lgr, "%m%n") != 0)
		abort();
	logger_set_level(&lgr, LEVEL_DUMP);
	logger_set_writer(&lgr, devnull_writer, &devnull);
	for (auto _ : state) {
		for (size_t at = 0; at < data.size(); at += chunk)
			if (logger_dump(&lgr, LEVEL_DUMP, "net", __LINE__, "received_data",
					data.data() + at, chunk, "URL") != 0)
				state.SkipWithError("logger_dump failed");
	}
	state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
	logger_destroy(&lgr);
	close(devnull);
}

// The 64 MiB dump through the service's own writer, standard error pointed
// at /dev/null for the run.
void BM_stderr_dump(benchmark::State &state)
{
	const auto &data = dump_input();
	int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
	int saved = dup(STDERR_FILENO);
	logger lgr;
	if (devnull < 0 || saved < 0 || logger_init(&lgr) != 0 ||
	    logger_set_format(&lgr, "%m%n") != 0)
		abort();
	logger_set_level(&lgr, LEVEL_DUMP);
	logger_set_writer(&lgr, stderr_writer, nullptr);
	dup2(devnull, STDERR_FILENO);
	bool failed = false;
	for (auto _ : state)
		failed |= logger_dump(&lgr, LEVEL_DUMP, "net", __LINE__, "received_data",
				      data.data(), data.size(), "URL") != 0;
	dup2(saved, STDERR_FILENO);
	if (failed)
		state.SkipWithError("logger_dump failed");
	state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
	logger_destroy(&lgr);
	close(saved);
	close(devnull);
}

// Runs a dump tool on the same bytes, output to /dev/null, and waits for it.
void run_tool(benchmark::State &state, std::vector<std::string> argv)
{
	argv.push_back(dump_path);
	std::vector<char *> args;
	for (auto &a : argv)
		args.push_back(a.data());
	args.push_back(nullptr);
	posix_spawn_file_actions_t fa;
	posix_spawn_file_actions_init(&fa);
	posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
	for (auto _ : state) {
		pid_t pid;
		int status;
		if (posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ) != 0 ||
		    waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
		    WEXITSTATUS(status) != 0) {
			state.SkipWithError("the tool failed");
			break;
		}
	}
	posix_spawn_file_actions_destroy(&fa);
	state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * DUMP_SIZE));
}

void BM_xxd(benchmark::State &state) { run_tool(state, {"xxd"}); }
void BM_hexdump_C(benchmark::State &state) { run_tool(state, {"hexdump", "-C"}); }

BENCHMARK(BM_logger_log)->MinTime(1.0);
BENCHMARK(BM_spdlog_log)->MinTime(1.0);
BENCHMARK(BM_logger_dropped)->MinTime(1.0);
BENCHMARK(BM_spdlog_dropped)->MinTime(1.0);
BENCHMARK(BM_logger_dump)->Arg(DUMP_SIZE)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_logger_dump)->Arg(64 << 10)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_stderr_dump)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);
BENCHMARK(BM_xxd)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_hexdump_C)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

// Writes the dump input where the external tools can read it.
bool write_dump_input()
{
	char tmpl[] = "/tmp/quillmere-bench-XXXXXX";
	int fd = mkstemp(tmpl);
	if (fd < 0)
		return false;
	const auto &data = dump_input();
	write_all(fd, reinterpret_cast<const char *>(data.data()), data.size());
	close(fd);
	dump_path = tmpl;
	return true;
}

} // namespace

int main(int argc, char **argv)
{
	benchmark::Initialize(&argc, argv);
	if (benchmark::ReportUnrecognizedArguments(argc, argv))
		return 1;
	if (!write_dump_input()) {
		perror("dump input");
		return 1;
	}
	benchmark::RunSpecifiedBenchmarks();
	benchmark::Shutdown();
	unlink(dump_path.c_str());
	return 0;
}
