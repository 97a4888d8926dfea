// File operations of the system library, as macOS provides them.
// renameatx_np and RENAME_EXCL are declared in <stdio.h> since macOS 10.12;
// F_BARRIERFSYNC (fcntl's barrier sync) in <fcntl.h>.
#pragma once

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
