// Process information of the system library, as macOS provides it:
// proc_pidinfo and proc_listallpids from libproc, KERN_PROCARGS2 from sysctl.
#pragma once

#include <errno.h>
#include <libproc.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/proc_info.h>
#include <sys/sysctl.h>
#include <sys/types.h>
#include <unistd.h>
