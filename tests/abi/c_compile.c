/* A C host's view of the boundary header: it must compile as C11 and agree on the layout. */
#include <stdio.h>

#include "tpk/plugin_abi.h"

static int32_t LogToStdout(const HostApi* api, int32_t level, const char* message) {
  (void)api;
  return printf("%d %s\n", (int)level, message) < 0 ? -1 : 0;
}

int main(void) {
  HostApi api = {0};
  HostValueEntry entry;
  HostValue value;
  api.Log = LogToStdout;
  value.kind = HOST_VALUE_STRING_BORROWED;
  value.payload.string.text = "hello";
  value.payload.string.length = 5;
  entry.key = "k";
  entry.value = value;
  entry.keyOwned = 0;
  if (api.Log(&api, 0, entry.value.payload.string.text) != 0) return 1;
  if (sizeof(void*) == 4 && (sizeof(HostValue) != 12 || sizeof(HostValueEntry) != 17)) return 2;
  if ((const char*)&entry.keyOwned - (const char*)&entry !=
      (long)(sizeof(void*) + sizeof(HostValue)))
    return 3;
  return 0;
}
