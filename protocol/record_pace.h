// Records that a peer can cause once per command. A peer can send a hundred
// thousand commands a second; written each time, their records would bury
// everything else in the log and make the journal drop the service's own.
#pragma once

#include <cstdint>
#include <ctime>

constexpr int64_t NS_PER_S = 1000000000;

inline int64_t monotonic_ns()
{
	timespec now {};
	clock_gettime(CLOCK_MONOTONIC, &now);
	return now.tv_sec * NS_PER_S + now.tv_nsec;
}

// The first such record is written, then at most one a second; those in
// between are counted, for one record that sums them up when the connection
// ends.
struct record_pace {
	unsigned long unrecorded = 0;
	bool recorded = false;
	int64_t recorded_at = 0;
};

// Whether the record is to be written now; if not, it is counted.
inline bool record_due(record_pace *pace, int64_t now = monotonic_ns())
{
	if (pace->recorded && now - pace->recorded_at < NS_PER_S) {
		pace->unrecorded++;
		return false;
	}
	pace->recorded = true;
	pace->recorded_at = now;
	return true;
}

// The count of records not written since the pace was last taken, which
// starts it afresh.
inline unsigned long take_unrecorded(record_pace *pace)
{
	unsigned long count = pace->unrecorded;
	*pace = {};
	return count;
}
