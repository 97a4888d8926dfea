// Registration hook for the processes that another platform's build of this
// add-on can report as owned by the application. macOS has no such notion,
// so here it registers nothing.
#include <node_api.h>

void RegisterWindowsOwnedProcess(napi_env env, napi_value exports) {
  (void)env;
  (void)exports;
}
