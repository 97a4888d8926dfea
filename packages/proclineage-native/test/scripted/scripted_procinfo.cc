// A scripted process table for the test build of proclineage. The product
// unit is compiled unchanged against the header beside this file; every
// process-information call it makes takes the next answer of its kind from
// a script that the test hands in, and is written to a call log that the
// test reads back. The script is registered on the exports through the
// add-on's second-unit hook, in place of the empty one the product ships.
//
// script({ euid, listing: [...], info: [...], sid: [...], kill: [...],
//          sysctl: [...] }) replaces the script and clears the log. Each
// list holds one answer per call, in order:
//   listing: { ret?, pids? }   pids copied up to the buffer's capacity;
//                              ret defaults to the number copied
//   info:    { ret?, errno?, pid, ppid, pgid, uid, uniqueId, parentUniqueId }
//            the record of whichever flavour was asked; ret defaults to
//            its size (identifiers are BigInts)
//   sid, kill: { ret, errno? }
//   sysctl:  { ret?, errno?, size?, area? }  without a buffer, size is the
//            size reported; with one, area (a Buffer) is copied in and size
//            (default: the area's length) reported, both clamped to the
//            buffer as the kernel does: an area longer than the buffer
//            gives its count word and then its last bytes
// A call beyond its list fails with ENOSYS and is logged as "exhausted".
// calls() returns the log: "listallpids <bytes>", "pidinfo <pid> <flavour>",
// "getsid <pid>", "kill <pid> <signal>", "sysctl <pid> size|<capacity>".
#include <node_api.h>
#include <string.h>

#include <string>
#include <vector>

#include "platform_procinfo.h"

namespace {

struct Answer {
  bool has_ret;
  int64_t ret;
  int error;
  uint32_t pid, ppid, pgid, uid;
  uint64_t unique_id, parent_unique_id;
  bool has_size;
  int64_t size;
  std::vector<char> area;
  std::vector<int32_t> pids;
};

struct Queue {
  std::vector<Answer> answers;
  size_t next;
};

struct Script {
  uid_t euid;
  Queue listing, info, sid, kill, sysctl;
  std::vector<std::string> calls;
};

Script script_state{501, {}, {}, {}, {}, {}, {}};

void Log(const std::string& call) { script_state.calls.push_back(call); }

// The next answer, or null (logged, errno ENOSYS) when the list is spent.
const Answer* Next(Queue* queue) {
  if (queue->next >= queue->answers.size()) {
    Log("exhausted");
    errno = ENOSYS;
    return nullptr;
  }
  return &queue->answers[queue->next++];
}

// ---- reading the script ------------------------------------------------------

bool Has(napi_env env, napi_value object, const char* name) {
  bool has = false;
  napi_has_named_property(env, object, name, &has);
  return has;
}

napi_value Property(napi_env env, napi_value object, const char* name) {
  napi_value value = nullptr;
  napi_get_named_property(env, object, name, &value);
  return value;
}

int64_t Number(napi_env env, napi_value object, const char* name) {
  int64_t number = 0;
  if (Has(env, object, name)) {
    napi_get_value_int64(env, Property(env, object, name), &number);
  }
  return number;
}

uint64_t Identifier(napi_env env, napi_value object, const char* name) {
  uint64_t value = 0;
  bool lossless = false;
  if (Has(env, object, name)) {
    napi_get_value_bigint_uint64(env, Property(env, object, name), &value, &lossless);
  }
  return value;
}

uint32_t Length(napi_env env, napi_value array) {
  uint32_t length = 0;
  napi_get_array_length(env, array, &length);
  return length;
}

napi_value Element(napi_env env, napi_value array, uint32_t index) {
  napi_value value = nullptr;
  napi_get_element(env, array, index, &value);
  return value;
}

Answer ReadAnswer(napi_env env, napi_value object) {
  Answer answer{};
  answer.has_ret = Has(env, object, "ret");
  answer.ret = Number(env, object, "ret");
  answer.error = static_cast<int>(Number(env, object, "errno"));
  answer.pid = static_cast<uint32_t>(Number(env, object, "pid"));
  answer.ppid = static_cast<uint32_t>(Number(env, object, "ppid"));
  answer.pgid = static_cast<uint32_t>(Number(env, object, "pgid"));
  answer.uid = static_cast<uint32_t>(Number(env, object, "uid"));
  answer.unique_id = Identifier(env, object, "uniqueId");
  answer.parent_unique_id = Identifier(env, object, "parentUniqueId");
  answer.has_size = Has(env, object, "size");
  answer.size = Number(env, object, "size");
  if (Has(env, object, "area")) {
    void* data = nullptr;
    size_t length = 0;
    napi_get_buffer_info(env, Property(env, object, "area"), &data, &length);
    answer.area.assign(static_cast<char*>(data), static_cast<char*>(data) + length);
  }
  if (Has(env, object, "pids")) {
    const napi_value pids = Property(env, object, "pids");
    for (uint32_t i = 0; i < Length(env, pids); ++i) {
      int32_t pid = 0;
      napi_get_value_int32(env, Element(env, pids, i), &pid);
      answer.pids.push_back(pid);
    }
  }
  return answer;
}

Queue ReadQueue(napi_env env, napi_value table, const char* name) {
  Queue queue{{}, 0};
  if (Has(env, table, name)) {
    const napi_value list = Property(env, table, name);
    for (uint32_t i = 0; i < Length(env, list); ++i) {
      queue.answers.push_back(ReadAnswer(env, Element(env, list, i)));
    }
  }
  return queue;
}

napi_value SetScript(napi_env env, napi_callback_info info) {
  size_t count = 1;
  napi_value table = nullptr;
  napi_get_cb_info(env, info, &count, &table, nullptr, nullptr);
  script_state.euid = Has(env, table, "euid") ? static_cast<uid_t>(Number(env, table, "euid")) : 501;
  script_state.listing = ReadQueue(env, table, "listing");
  script_state.info = ReadQueue(env, table, "info");
  script_state.sid = ReadQueue(env, table, "sid");
  script_state.kill = ReadQueue(env, table, "kill");
  script_state.sysctl = ReadQueue(env, table, "sysctl");
  script_state.calls.clear();
  return nullptr;
}

napi_value Calls(napi_env env, napi_callback_info) {
  napi_value array = nullptr;
  napi_create_array(env, &array);
  for (uint32_t i = 0; i < script_state.calls.size(); ++i) {
    napi_value call = nullptr;
    napi_create_string_utf8(env, script_state.calls[i].data(), script_state.calls[i].size(), &call);
    napi_set_element(env, array, i, call);
  }
  return array;
}

// ---- the answers -------------------------------------------------------------

template <typename Record>
int CopyRecord(const Record& record, const Answer& answer, void* buffer, int buffersize) {
  if (buffer != nullptr && buffersize >= static_cast<int>(sizeof record)) {
    memcpy(buffer, &record, sizeof record);
  }
  return answer.has_ret ? static_cast<int>(answer.ret) : static_cast<int>(sizeof record);
}

}  // namespace

extern "C" int proc_pidinfo(int pid, int flavor, uint64_t, void* buffer, int buffersize) {
  Log("pidinfo " + std::to_string(pid) + " " + std::to_string(flavor));
  const Answer* answer = Next(&script_state.info);
  if (answer == nullptr) {
    return 0;
  }
  int result = 0;
  if (flavor == PROC_PIDTBSDINFO) {
    proc_bsdinfo record;
    memset(&record, 0, sizeof record);
    record.pbi_pid = answer->pid;
    record.pbi_ppid = answer->ppid;
    record.pbi_pgid = answer->pgid;
    record.pbi_uid = answer->uid;
    result = CopyRecord(record, *answer, buffer, buffersize);
  } else {
    proc_uniqidentifierinfo record;
    memset(&record, 0, sizeof record);
    record.p_uniqueid = answer->unique_id;
    record.p_puniqueid = answer->parent_unique_id;
    result = CopyRecord(record, *answer, buffer, buffersize);
  }
  errno = answer->error;
  return result;
}

extern "C" int proc_listallpids(void* buffer, int buffersize) {
  Log("listallpids " + std::to_string(buffersize));
  const Answer* answer = Next(&script_state.listing);
  if (answer == nullptr) {
    return -1;
  }
  const size_t capacity = buffer == nullptr ? 0 : static_cast<size_t>(buffersize) / 4;
  const size_t copied = answer->pids.size() < capacity ? answer->pids.size() : capacity;
  if (copied > 0) {
    memcpy(buffer, answer->pids.data(), copied * 4);
  }
  errno = answer->error;
  return answer->has_ret ? static_cast<int>(answer->ret) : static_cast<int>(copied);
}

extern "C" int darwin_sysctl(int* name, unsigned int, void* oldp, size_t* oldlenp, void*,
                             size_t) {
  Log("sysctl " + std::to_string(name[2]) + " " +
      (oldp == nullptr ? std::string("size") : std::to_string(*oldlenp)));
  const Answer* answer = Next(&script_state.sysctl);
  if (answer == nullptr) {
    return -1;
  }
  if (oldp == nullptr) {
    *oldlenp = static_cast<size_t>(answer->size);
  } else {
    const size_t copied = answer->area.size() < *oldlenp ? answer->area.size() : *oldlenp;
    const size_t head = copied < answer->area.size() && copied >= 4 ? 4 : copied;
    // An empty scripted area has no data pointer, which memcpy must not get.
    if (copied > 0) {
      memcpy(oldp, answer->area.data(), head);
    }
    // Into a shorter buffer macOS copies the count word and then the
    // area's last bytes.
    if (copied > head) {
      memcpy(static_cast<char*>(oldp) + head,
             answer->area.data() + answer->area.size() - (copied - head), copied - head);
    }
    const size_t reported = answer->has_size ? static_cast<size_t>(answer->size) : copied;
    *oldlenp = reported < *oldlenp ? reported : *oldlenp;
  }
  errno = answer->error;
  return static_cast<int>(answer->ret);
}

extern "C" pid_t scripted_getsid(pid_t pid) {
  Log("getsid " + std::to_string(pid));
  const Answer* answer = Next(&script_state.sid);
  if (answer == nullptr) {
    return -1;
  }
  errno = answer->error;
  return static_cast<pid_t>(answer->ret);
}

extern "C" int scripted_kill(pid_t pid, int signal) {
  Log("kill " + std::to_string(pid) + " " + std::to_string(signal));
  const Answer* answer = Next(&script_state.kill);
  if (answer == nullptr) {
    return -1;
  }
  errno = answer->error;
  return static_cast<int>(answer->ret);
}

extern "C" uid_t scripted_geteuid(void) { return script_state.euid; }

// Registered in place of the product's empty hook.
void RegisterWindowsOwnedProcess(napi_env env, napi_value exports) {
  napi_value function = nullptr;
  napi_create_function(env, "script", NAPI_AUTO_LENGTH, SetScript, nullptr, &function);
  napi_set_named_property(env, exports, "script", function);
  napi_create_function(env, "calls", NAPI_AUTO_LENGTH, Calls, nullptr, &function);
  napi_set_named_property(env, exports, "calls", function);
}
