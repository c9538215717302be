/* A host written in C against the installed package: it loads a plugin module by path, hands its
 * export a descriptor, prints what the module wrote back (short name, version, number of
 * HTTP-served functions) and unloads it. */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>
#include <tpk/plugin_abi.h>

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : TPK_MODULE_PATH;
  PluginDescriptor descriptor = {18, 0, 0, NULL, NULL, NULL, NULL};
  PluginExportFunction load = NULL;
  void* symbol;
  void* object;
  void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (handle == NULL) {
    fprintf(stderr, "%s\n", dlerror());
    return 1;
  }
  symbol = dlsym(handle, "load_qel_mhx");
  if (symbol == NULL) {
    fprintf(stderr, "no load_qel_mhx in %s\n", path);
    return 2;
  }
  memcpy(&load, &symbol, sizeof load);
  object = load(&descriptor);
  if (object == NULL || descriptor.callbacks == NULL || descriptor.exportTable == NULL ||
      descriptor.shortName == NULL) {
    fprintf(stderr, "the export filled no descriptor\n");
    return 3;
  }
  printf("%s %u.%u.%u %u\n", descriptor.shortName, (unsigned)descriptor.major,
         (unsigned)descriptor.minor, (unsigned)descriptor.patch,
         (unsigned)descriptor.exportTable->entryCount);
  descriptor.callbacks->Unload(descriptor.context);
  dlclose(handle);
  return 0;
}
