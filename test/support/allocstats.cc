// Test support add-on: the sanitizer allocator's own count of live heap
// bytes, for memory checks that must keep their meaning under
// AddressSanitizer. There, freed blocks wait in a quarantine of up to
// 256 MiB before they are reused, so resident size grows by design and
// would flag a leak that is not there; the live count drops at each free.
// Without the sanitizer runtime the count is absent and liveBytes() is
// null, and resident size stays the measure.
#include <node_api.h>

#include <cstddef>

extern "C" size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));

namespace {

napi_value LiveBytes(napi_env env, napi_callback_info) {
  napi_value result = nullptr;
  if (__sanitizer_get_current_allocated_bytes == nullptr) {
    napi_get_null(env, &result);
    return result;
  }
  napi_create_double(env, static_cast<double>(__sanitizer_get_current_allocated_bytes()), &result);
  return result;
}

}  // namespace

NAPI_MODULE_INIT() {
  napi_value function = nullptr;
  if (napi_create_function(env, "liveBytes", NAPI_AUTO_LENGTH, LiveBytes, nullptr, &function) != napi_ok ||
      napi_set_named_property(env, exports, "liveBytes", function) != napi_ok) {
    return nullptr;
  }
  return exports;
}
