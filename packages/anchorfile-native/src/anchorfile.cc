// Placeholder while the add-on is written.
#define NAPI_VERSION 8
#include <node_api.h>
extern "C" NAPI_MODULE_EXPORT int32_t node_api_module_get_api_version_v1(void) { return 8; }
extern "C" NAPI_MODULE_EXPORT napi_value napi_register_module_v1(napi_env, napi_value exports) { return exports; }
