// What every part of a service process shares: its one event base and its
// one logger. The service defines them; tests define their own.
#pragma once

#include "logger/logger.h"

struct event_base;

extern event_base *ev_base;
extern logger *plgr;

// Every record of the connection protocol, its launch and its URL policy
// names the source file "net".
#define NET_LOG(level, ...) LOGGER_LOG(plgr, (level), "net", __func__, __VA_ARGS__)
