// The process information of the system library as a test script answers
// it: the records and constants of the Linux stand-in's header, with
// getsid, kill and geteuid routed to the scripted layer as well, so that a
// test decides every answer the add-on's logic sees.
#pragma once

#include "linux/platform_procinfo.h"

#ifdef __cplusplus
extern "C" {
#endif

pid_t scripted_getsid(pid_t pid);
int scripted_kill(pid_t pid, int signal);
uid_t scripted_geteuid(void);

#ifdef __cplusplus
}
#endif

#define getsid(pid) scripted_getsid(pid)
#define kill(pid, signal) scripted_kill(pid, signal)
#define geteuid() scripted_geteuid()
