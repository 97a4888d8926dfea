// proclineage: the process table of the caller's own user, for the script
// side. One process's identity, its argument vector, one variable of its
// environment, and the list of all such processes, each with 64-bit unique
// identifiers for itself and its parent so that the script can tell a
// process from a later one with the same number and link processes into a
// tree.
//
// Nothing here throws into the script: a missing answer is null (or false
// where a variable is absent or the process is gone). Every call is
// synchronous and keeps nothing after it returns.
#include <node_api.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "platform_procinfo.h"

// The registration hook of windows_owned_process.cc.
void RegisterWindowsOwnedProcess(napi_env env, napi_value exports);

namespace {

constexpr int kBsdInfoSize = static_cast<int>(sizeof(proc_bsdinfo));
constexpr int kUniqueInfoSize = static_cast<int>(sizeof(proc_uniqidentifierinfo));
constexpr size_t kMinimumAreaSize = 5;
constexpr size_t kMaximumAreaSize = 16777216;
constexpr size_t kMaximumNameLength = 255;

struct DarwinProcessIdentity {
  int32_t pid;
  int32_t ppid;
  int32_t pgid;
  int32_t sid;
  uint64_t uniqueId;
  uint64_t parentUniqueId;
};

enum class ProcessRead { Ok = 0, Skip = 1, Unreliable = 2 };

// An argument area copied out of the kernel; malloc'd by ReadArgumentArea,
// freed by the function that asked for it.
struct ArgumentArea {
  char* data;
  size_t size;
};

// ---- process identity ------------------------------------------------------

// kill(pid, 0) is the one test that tells "gone" (ESRCH) from "there but
// not ours" (EPERM) without reading anything of the process.
bool ProcessVanished(pid_t pid) {
  errno = 0;
  if (kill(pid, 0) == 0) {
    return false;
  }
  return errno == ESRCH;
}

// After a failed read: gone if the read said so (ESRCH) or kill says so
// now. Anything else leaves the process there but unread.
bool ProcessGone(pid_t pid, int error) {
  return error == ESRCH || ProcessVanished(pid);
}

ProcessRead FailedRead(pid_t pid, int error) {
  return ProcessGone(pid, error) ? ProcessRead::Skip : ProcessRead::Unreliable;
}

bool ReadBsdInfo(pid_t pid, proc_bsdinfo* info) {
  memset(info, 0, sizeof *info);
  errno = 0;
  return proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, info, kBsdInfoSize) == kBsdInfoSize;
}

bool ReadUniqueInfo(pid_t pid, proc_uniqidentifierinfo* info) {
  memset(info, 0, sizeof *info);
  errno = 0;
  return proc_pidinfo(pid, PROC_PIDUNIQIDENTIFIERINFO, 0, info, kUniqueInfoSize) ==
         kUniqueInfoSize;
}

// Reads one process's identity so that every field belongs to one process
// at one moment. The second BSD read and the session read lie between two
// reads of the unique identifiers: if the process exited and its number
// went to another process meanwhile, or it was reparented, the identifiers
// differ and the record is refused instead of mixing two processes.
ProcessRead ReadDarwinProcess(pid_t pid, DarwinProcessIdentity* identity) {
  memset(identity, 0, sizeof *identity);
  const uid_t caller = geteuid();

  proc_bsdinfo first_bsd;
  if (!ReadBsdInfo(pid, &first_bsd)) {
    const int saved_errno = errno;
    // Another user's process may refuse even the first read.
    return saved_errno == EPERM ? ProcessRead::Skip : FailedRead(pid, saved_errno);
  }
  if (first_bsd.pbi_uid != caller) {
    return ProcessRead::Skip;
  }

  proc_uniqidentifierinfo first_unique;
  if (!ReadUniqueInfo(pid, &first_unique)) {
    return FailedRead(pid, errno);
  }

  proc_bsdinfo second_bsd;
  if (!ReadBsdInfo(pid, &second_bsd)) {
    return FailedRead(pid, errno);
  }
  // The process changed its user while being read (a set-user-id exec).
  if (second_bsd.pbi_uid != caller) {
    return ProcessRead::Unreliable;
  }

  errno = 0;
  const pid_t sid = getsid(pid);
  if (sid <= 0) {
    return FailedRead(pid, errno);
  }

  proc_uniqidentifierinfo second_unique;
  if (!ReadUniqueInfo(pid, &second_unique)) {
    return FailedRead(pid, errno);
  }
  if (first_unique.p_uniqueid == 0 || first_unique.p_uniqueid != second_unique.p_uniqueid ||
      first_unique.p_puniqueid != second_unique.p_puniqueid) {
    return ProcessRead::Unreliable;
  }

  identity->pid = static_cast<int32_t>(second_bsd.pbi_pid);
  identity->ppid = static_cast<int32_t>(second_bsd.pbi_ppid);
  identity->pgid = static_cast<int32_t>(second_bsd.pbi_pgid);
  identity->sid = sid;
  identity->uniqueId = first_unique.p_uniqueid;
  identity->parentUniqueId = first_unique.p_puniqueid;
  return static_cast<pid_t>(second_bsd.pbi_pid) == pid ? ProcessRead::Ok : ProcessRead::Unreliable;
}

// Unsigned decimal, no sign, no leading zeros: identifiers beyond 2^53
// would lose digits as script numbers.
napi_value DecimalString(napi_env env, uint64_t value) {
  char digits[21];
  size_t start = sizeof digits;
  do {
    digits[--start] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  napi_value result = nullptr;
  napi_create_string_utf8(env, digits + start, sizeof digits - start, &result);
  return result;
}

napi_value Int32Value(napi_env env, int32_t value) {
  napi_value result = nullptr;
  napi_create_int32(env, value, &result);
  return result;
}

napi_value ProcessIdentity(napi_env env, const DarwinProcessIdentity& identity) {
  napi_value object = nullptr;
  napi_create_object(env, &object);
  napi_set_named_property(env, object, "pid", Int32Value(env, identity.pid));
  napi_set_named_property(env, object, "ppid", Int32Value(env, identity.ppid));
  napi_set_named_property(env, object, "pgid", Int32Value(env, identity.pgid));
  napi_set_named_property(env, object, "sid", Int32Value(env, identity.sid));
  napi_set_named_property(env, object, "uniqueId", DecimalString(env, identity.uniqueId));
  napi_set_named_property(env, object, "parentUniqueId",
                          DecimalString(env, identity.parentUniqueId));
  return object;
}

// ---- argument intake ---------------------------------------------------------

napi_value Null(napi_env env) {
  napi_value result = nullptr;
  napi_get_null(env, &result);
  return result;
}

napi_value Boolean(napi_env env, bool value) {
  napi_value result = nullptr;
  napi_get_boolean(env, value, &result);
  return result;
}

// Fills `args` when the script passed exactly `count` arguments.
bool TakeArguments(napi_env env, napi_callback_info info, size_t count, napi_value* args) {
  size_t passed = count;
  if (napi_get_cb_info(env, info, &passed, args, nullptr, nullptr) != napi_ok) {
    return false;
  }
  return passed == count;
}

bool ReadPid(napi_env env, napi_value value, pid_t* pid) {
  int32_t number = 0;
  if (napi_get_value_int32(env, value, &number) != napi_ok || number <= 0) {
    return false;
  }
  *pid = number;
  return true;
}

// The variable name as exactly its UTF-8 bytes, 1 to 255 of them, in a
// zero-filled buffer of kMaximumNameLength + 1 bytes.
bool ReadVariableName(napi_env env, napi_value value, char* name, size_t* length) {
  size_t wanted = 0;
  if (napi_get_value_string_utf8(env, value, nullptr, 0, &wanted) != napi_ok || wanted < 1 ||
      wanted > kMaximumNameLength) {
    return false;
  }
  memset(name, 0, kMaximumNameLength + 1);
  size_t copied = 0;
  if (napi_get_value_string_utf8(env, value, name, wanted + 1, &copied) != napi_ok ||
      copied != wanted) {
    return false;
  }
  *length = wanted;
  return true;
}

// ---- the argument area -------------------------------------------------------

bool QueryAreaSize(pid_t pid, size_t* size) {
  int mib[3] = {CTL_KERN, KERN_PROCARGS2, pid};
  *size = 0;
  return sysctl(mib, 3, nullptr, size, nullptr, 0) == 0;
}

// Reads the area into a zero-filled buffer one byte larger than the
// `learned` size of the query. macOS does not fail a read into a buffer
// shorter than the area: it copies the area's last bytes with the count
// word in front, which would parse into a wrong argument vector. The area
// grows when the process runs a new program between the query and the
// read; the spare byte shows it, since only a read cut short can fill the
// buffer to its last byte. On success the caller owns area->data; on
// failure nothing is left allocated and errno is that of the failed step
// (EAGAIN for an area that grew).
bool ReadArgumentArea(pid_t pid, size_t learned, ArgumentArea* area) {
  area->data = nullptr;
  area->size = 0;
  // The environment read sets no upper bound; the spare byte must not wrap
  // the capacity around to nothing.
  const size_t capacity = learned + 1;
  if (capacity != 0) {
    area->data = static_cast<char*>(calloc(capacity, 1));
  }
  if (area->data == nullptr) {
    errno = ENOMEM;
    return false;
  }
  int mib[3] = {CTL_KERN, KERN_PROCARGS2, pid};
  size_t size = capacity;
  const bool read = sysctl(mib, 3, area->data, &size, nullptr, 0) == 0;
  const int saved_errno = read ? (size >= capacity ? EAGAIN : 0) : errno;
  if (!read || size < kMinimumAreaSize || size >= capacity) {
    free(area->data);
    area->data = nullptr;
    errno = saved_errno;
    return false;
  }
  area->size = size;
  return true;
}

// Length of the zero-terminated string at `position`, or `end - position`
// when it runs to the end of the area unterminated.
size_t StringLength(const char* position, const char* end) {
  const void* zero = memchr(position, '\0', static_cast<size_t>(end - position));
  return zero == nullptr ? static_cast<size_t>(end - position)
                         : static_cast<size_t>(static_cast<const char*>(zero) - position);
}

// Where argv begins, counted from the path's first byte. macOS saves the
// executable path behind a 16-byte key, "executable_path=", pads key, path
// and its zero byte with zeros to the 8-byte pointer size before argv, and
// the sysctl strips the key (xnu's exec_save_path and exec_extract_strings;
// public measurements on a Mac cover paths of 8 to 23 bytes). The padding is
// therefore 0 to 7 bytes fixed by the path's length, and an empty argument
// after it is an argument, not more padding.
size_t ArgumentsOffset(size_t path_length) {
  constexpr size_t kPathKeyLength = 16;
  constexpr size_t kPointerSize = 8;
  const size_t saved = kPathKeyLength + path_length + 1;
  return (saved + kPointerSize - 1) / kPointerSize * kPointerSize - kPathKeyLength;
}

// Where argv begins in the area, or null when the area does not have the
// shape above: a terminated path, then zero bytes only, up to the offset.
// A reader that skipped zero bytes until a string began took empty
// arguments for padding and, keeping the count, handed out environment
// strings (a token, say) as arguments; an area of another shape is
// refused rather than guessed at.
const char* ArgumentsStart(const ArgumentArea& area) {
  const char* end = area.data + area.size;
  const char* path = area.data + 4;
  const size_t path_length = StringLength(path, end);
  if (path + path_length == end) {
    return nullptr;
  }
  const size_t offset = ArgumentsOffset(path_length);
  if (offset > static_cast<size_t>(end - path)) {
    return nullptr;
  }
  for (const char* padding = path + path_length + 1; padding < path + offset; ++padding) {
    if (*padding != '\0') {
      return nullptr;
    }
  }
  return path + offset;
}

// Builds the argument array from the area, or returns false when the area
// is malformed. The area is the caller's.
bool ArgumentArray(napi_env env, const ArgumentArea& area, napi_value* array) {
  int32_t count = 0;
  memcpy(&count, area.data, sizeof count);
  if (count <= 0 || static_cast<size_t>(count) > area.size - 4) {
    return false;
  }
  const char* end = area.data + area.size;
  const char* position = ArgumentsStart(area);
  if (position == nullptr) {
    return false;
  }
  napi_create_array_with_length(env, static_cast<size_t>(count), array);
  for (int32_t index = 0; index < count; ++index) {
    if (position >= end) {
      return false;
    }
    const size_t length = StringLength(position, end);
    if (position + length == end) {
      return false;
    }
    napi_value argument = nullptr;
    napi_create_string_utf8(env, position, length, &argument);
    napi_set_element(env, *array, static_cast<uint32_t>(index), argument);
    position += length + 1;
  }
  return true;
}

// The first zero-terminated string of the area, from just after the count
// word, that begins with "NAME=". The scan knows nothing of the argument
// count, so an argument of that form is found before the environment.
napi_value FindVariable(napi_env env, const ArgumentArea& area, const char* name,
                        size_t name_length) {
  char key[kMaximumNameLength + 2];
  memcpy(key, name, name_length);
  key[name_length] = '=';
  const size_t key_length = name_length + 1;
  const char* end = area.data + area.size;
  const char* position = area.data + 4;
  for (;;) {
    const size_t length = StringLength(position, end);
    if (length >= key_length && memcmp(position, key, key_length) == 0) {
      napi_value value = nullptr;
      napi_create_string_utf8(env, position + key_length, length - key_length, &value);
      return value;
    }
    if (position + length == end) {
      return Boolean(env, false);
    }
    position += length + 1;
    if (position >= end) {
      return Boolean(env, false);
    }
  }
}

// When the area cannot be read: false if the process is gone (a missing
// process has no variables), null for any other refusal.
napi_value EnvironmentFailure(napi_env env, pid_t pid, int error) {
  return ProcessGone(pid, error) ? Boolean(env, false) : Null(env);
}

// ---- exported functions ------------------------------------------------------

napi_value GetDarwinProcess(napi_env env, napi_callback_info info) {
  napi_value args[1] = {nullptr};
  pid_t pid = 0;
  if (!TakeArguments(env, info, 1, args) || !ReadPid(env, args[0], &pid)) {
    return Null(env);
  }
  DarwinProcessIdentity identity;
  if (ReadDarwinProcess(pid, &identity) != ProcessRead::Ok) {
    return Null(env);
  }
  return ProcessIdentity(env, identity);
}

napi_value GetDarwinProcessArguments(napi_env env, napi_callback_info info) {
  napi_value args[1] = {nullptr};
  pid_t pid = 0;
  if (!TakeArguments(env, info, 1, args) || !ReadPid(env, args[0], &pid)) {
    return Null(env);
  }
  size_t size = 0;
  // The limit is checked before allocating: a hostile process can make
  // its area as large as the system allows.
  if (!QueryAreaSize(pid, &size) || size < kMinimumAreaSize || size > kMaximumAreaSize) {
    return Null(env);
  }
  ArgumentArea area;
  if (!ReadArgumentArea(pid, size, &area)) {
    return Null(env);
  }
  napi_value array = nullptr;
  const bool ok = ArgumentArray(env, area, &array);
  free(area.data);
  return ok ? array : Null(env);
}

napi_value GetDarwinEnvironmentValue(napi_env env, napi_callback_info info) {
  napi_value args[2] = {nullptr, nullptr};
  pid_t pid = 0;
  char name[kMaximumNameLength + 1];
  size_t name_length = 0;
  if (!TakeArguments(env, info, 2, args) || !ReadPid(env, args[0], &pid) ||
      !ReadVariableName(env, args[1], name, &name_length)) {
    return Null(env);
  }
  size_t size = 0;
  errno = 0;
  if (!QueryAreaSize(pid, &size) || size < kMinimumAreaSize) {
    return EnvironmentFailure(env, pid, errno);
  }
  errno = 0;
  ArgumentArea area;
  if (!ReadArgumentArea(pid, size, &area)) {
    return EnvironmentFailure(env, pid, errno);
  }
  napi_value result = FindVariable(env, area, name, name_length);
  free(area.data);
  return result;
}

// Lists the process numbers into `*pids` (malloc'd, the caller frees it).
// Returns the number listed, or -1 when the list cannot be read. The
// capacity grows twice at most; if even the last attempt fills its buffer
// there may be more processes, and `complete` is cleared.
int ListProcessNumbers(int32_t** pids, uint32_t* capacity, bool* complete) {
  *pids = nullptr;
  const int estimate = proc_listallpids(nullptr, 0);
  if (estimate <= 0) {
    return -1;
  }
  uint32_t want = static_cast<uint32_t>(estimate) + 256;
  int listed = -1;
  for (int attempt = 0; attempt < 3; ++attempt) {
    int32_t* grown = static_cast<int32_t*>(realloc(*pids, static_cast<size_t>(want) * 4));
    if (grown == nullptr) {
      free(*pids);
      *pids = nullptr;
      return -1;
    }
    *pids = grown;
    *capacity = want;
    memset(*pids, 0, static_cast<size_t>(want) * 4);
    listed = proc_listallpids(*pids, static_cast<int>(want * 4));
    if (listed < 0) {
      free(*pids);
      *pids = nullptr;
      return -1;
    }
    if (static_cast<uint32_t>(listed) < want) {
      *complete = true;
      return listed;
    }
    want = want * 2 + 256;
  }
  *complete = false;
  return listed;
}

napi_value ListDarwinProcesses(napi_env env, napi_callback_info info) {
  (void)info;  // arguments make no difference
  int32_t* pids = nullptr;
  uint32_t capacity = 0;
  bool complete = true;
  const int listed = ListProcessNumbers(&pids, &capacity, &complete);
  if (listed < 0) {
    return Null(env);
  }
  napi_value processes = nullptr;
  napi_create_array(env, &processes);
  uint32_t next = 0;
  const uint32_t count =
      static_cast<uint32_t>(listed) < capacity ? static_cast<uint32_t>(listed) : capacity;
  for (uint32_t i = 0; i < count; ++i) {
    if (pids[i] <= 0) {
      continue;
    }
    DarwinProcessIdentity identity;
    const ProcessRead outcome = ReadDarwinProcess(pids[i], &identity);
    if (outcome == ProcessRead::Unreliable) {
      complete = false;
    } else if (outcome == ProcessRead::Ok) {
      napi_set_element(env, processes, next++, ProcessIdentity(env, identity));
    }
  }
  free(pids);
  napi_value result = nullptr;
  napi_create_object(env, &result);
  napi_set_named_property(env, result, "processes", processes);
  napi_set_named_property(env, result, "complete", Boolean(env, complete));
  return result;
}

struct ExportedFunction {
  const char* name;
  napi_callback callback;
};

constexpr ExportedFunction kExports[] = {
    {"getDarwinProcess", GetDarwinProcess},
    {"getDarwinProcessArguments", GetDarwinProcessArguments},
    {"getDarwinEnvironmentValue", GetDarwinEnvironmentValue},
    {"listDarwinProcesses", ListDarwinProcesses},
};

}  // namespace

extern "C" NAPI_MODULE_EXPORT int32_t node_api_module_get_api_version_v1(void) {
  return NAPI_VERSION;
}

extern "C" NAPI_MODULE_EXPORT napi_value napi_register_module_v1(napi_env env,
                                                                 napi_value exports) {
  RegisterWindowsOwnedProcess(env, exports);
  for (const ExportedFunction& exported : kExports) {
    napi_value function = nullptr;
    napi_create_function(env, exported.name, NAPI_AUTO_LENGTH, exported.callback, nullptr,
                         &function);
    napi_set_named_property(env, exports, exported.name, function);
  }
  return exports;
}
