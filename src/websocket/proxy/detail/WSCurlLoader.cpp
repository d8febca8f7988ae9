#include "websocket/proxy/detail/WSCurlLoader.hpp"

#include <dlfcn.h>

#include <mutex>

namespace {

// dlsym hands back an object pointer; POSIX guarantees that it converts to the function's type.
template <typename Function>
bool Resolve(void* library, const char* name, Function& out, std::string& reason) {
  dlerror();
  void* symbol = dlsym(library, name);
  if (!symbol) {
    const char* error = dlerror();
    reason = error ? error : std::string(name) + " not found";
    return false;
  }
  out = reinterpret_cast<Function>(symbol);
  return true;
}

struct Loaded {
  WSCurlFunctions functions;
  bool ok = false;
  std::string reason;
};

} // namespace

bool WSCurlLoadFrom(const char* soname, WSCurlFunctions& functions, std::string& reason) {
  // RTLD_LOCAL: libcurl's symbols (and those of its dependencies) stay out of the global
  // namespace, so they cannot interpose on anything the program already uses.
  void* library = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    const char* error = dlerror();
    reason = error ? error : std::string(soname) + " cannot be loaded";
    return false;
  }
  WSCurlFunctions found;
  if (Resolve(library, "curl_global_init", found.globalInit, reason) &&
      Resolve(library, "curl_easy_init", found.easyInit, reason) &&
      Resolve(library, "curl_easy_setopt", found.easySetopt, reason) &&
      Resolve(library, "curl_easy_perform", found.easyPerform, reason) &&
      Resolve(library, "curl_easy_getinfo", found.easyGetinfo, reason) &&
      Resolve(library, "curl_easy_cleanup", found.easyCleanup, reason) &&
      Resolve(library, "curl_easy_strerror", found.easyStrerror, reason)) {
    functions = found;
    return true;
  }
  dlclose(library);
  return false;
}

const WSCurlFunctions* WSCurl(std::string* reason) {
  static Loaded loaded;
  static std::once_flag once;
  std::call_once(once, [] {
    std::string reasons;
    for (const char* name : WSCurlLibraryNames) {
      std::string why;
      if (WSCurlLoadFrom(name, loaded.functions, why)) {
        // curl_global_init is not thread-safe in every libcurl release; call_once serialises it.
        const CURLcode code = loaded.functions.globalInit(CURL_GLOBAL_DEFAULT);
        if (code == CURLE_OK) {
          loaded.ok = true;
          return;
        }
        // The library stays open: a failed global init may have left threads or handlers behind.
        reasons += (reasons.empty() ? "" : "; ") + std::string(name) +
                   ": curl_global_init failed: " + loaded.functions.easyStrerror(code);
        continue;
      }
      reasons += (reasons.empty() ? "" : "; ") + why;
    }
    loaded.reason = reasons;
  });
  if (!loaded.ok && reason) *reason = loaded.reason;
  return loaded.ok ? &loaded.functions : nullptr;
}
