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

// The unique-identifier flavour of proc_pidinfo is answered by every macOS
// kernel the product runs on, but the public SDK headers of macOS 11 to 13
// keep its number and record in the kernel's private section. Declared here
// with the kernel's layout, so the add-on reads the same bytes the kernel
// writes, unless the SDK declares them (its flavour number comes with its
// record): a second definition of the record would stop the build. The
// size check, on whichever record is in use, stops a build whose record
// differs from the kernel's, which would have the add-on read identifiers
// from the wrong bytes.
#ifndef PROC_PIDUNIQIDENTIFIERINFO
#define PROC_PIDUNIQIDENTIFIERINFO 17

struct proc_uniqidentifierinfo {
  uint8_t p_uuid[16];      // executable's UUID
  uint64_t p_uniqueid;     // never reused while the system runs
  uint64_t p_puniqueid;    // the parent's p_uniqueid
  int32_t p_idversion;     // not read by the product
  uint32_t p_reserved2;
  uint64_t p_reserved3;
  uint64_t p_reserved4;
};
#endif

static_assert(sizeof(struct proc_uniqidentifierinfo) == 56,
              "proc_uniqidentifierinfo is 56 bytes on macOS");
