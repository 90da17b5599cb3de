// Shared-library services over dlopen.
#include "platform/platform.h"

#include <dlfcn.h>

namespace platform {

LibraryHandle LoadSharedLibrary(const std::string& name) {
  // RTLD_LOCAL keeps a codec library's symbols out of the global scope, so
  // the forwarding functions of the binding never resolve to each other.
  return ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* ResolveSymbol(LibraryHandle library, const char* name) {
  if (library == nullptr) return nullptr;
  return ::dlsym(library, name);
}

void FreeSharedLibrary(LibraryHandle library) {
  if (library != nullptr) ::dlclose(library);
}

}  // namespace platform
