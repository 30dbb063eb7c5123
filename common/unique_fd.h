// The one owner of a descriptor: closed when it goes out of scope. Header
// only and free of the C++ runtime, so that the client library can use it.
#pragma once

#include <unistd.h>

class unique_fd {
public:
	unique_fd() = default;
	explicit unique_fd(int fd) : fd_(fd) {}
	unique_fd(const unique_fd &) = delete;
	unique_fd &operator=(const unique_fd &) = delete;
	~unique_fd() { reset(); }

	int get() const { return fd_; }
	// Hands the descriptor over: this object no longer closes it.
	int release()
	{
		int fd = fd_;
		fd_ = -1;
		return fd;
	}
	void reset(int fd = -1)
	{
		if (fd_ >= 0)
			close(fd_);
		fd_ = fd;
	}

private:
	int fd_ = -1;
};
