/* A C host's view of the boundary header: it must compile as C11 and agree on the layout. */
#include <stdio.h>

#include "tpk/plugin_abi.h"

#if defined(_WIN32) && TPK_ABI_32BIT
/* The client's own ABI: the header's layout asserts held with 64-bit members 8-aligned. */
struct AlignmentProbe {
  uint32_t word;
  uint64_t wide;
};
_Static_assert(offsetof(struct AlignmentProbe, wide) == 8, "not the 32-bit Windows alignment");
#endif

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
  {
    /* A host walks the flat description by its links. */
    FlatEnumeratorRecord enumerators[2] = {{0}};
    const FlatEnumeratorRecord* walk;
    int count = 0;
    enumerators[0].next = &enumerators[1];
    enumerators[1].value = -1;
    for (walk = enumerators; walk != NULL; walk = walk->next)
      ++count;
    if (count != 2 || enumerators[0].next->value != -1) return 4;
    if (sizeof(void*) == 4 &&
        (sizeof(FlatFunctionRecord) != 61 || sizeof(FlatArgumentRecord) != 25 ||
         sizeof(FlatTypeRecord) != 40 || sizeof(FlatFieldRecord) != 29 ||
         sizeof(FlatEnumeratorRecord) != 16 || sizeof(FlatEventRecord) != 28 ||
         offsetof(FlatFunctionRecord, userData) != 8))
      return 5;
  }
  {
    /* A host fills a request record and reads a response record. */
    ApiHeader header = {"accept", "application/json"};
    ApiRequestRecord request = {0};
    ApiResponseRecord response = {0};
    request.method = 2;
    request.target = "/v1/games/1";
    request.headers = &header;
    request.headerCount = 1;
    if (response.free != NULL || request.headers[0].value[0] != 'a') return 6;
    if (sizeof(void*) == 4 &&
        (sizeof(ApiRequestRecord) != 48 || sizeof(ApiResponseRecord) != 62 ||
         offsetof(ApiResponseRecord, status) != 22 || sizeof(ApiNativeArgument) != 16 ||
         sizeof(ApiExportEntry) != 90 || offsetof(ApiExportEntry, methodName) != 86 ||
         sizeof(ApiArgumentLocationRecord) != 8 || sizeof(ApiExportTable) != 24))
      return 7;
  }
  {
    /* A host hands a descriptor to the export and reads back what the module filled in. */
    PluginDescriptor descriptor = {18, 0, 0, NULL, NULL, NULL, NULL};
    HostContext context = {NULL, 7};
    HostEvent event = {0};
    ApiHeader pair = {"user-agent", "x"};
    ExternalRequestRecord outgoing = {0};
    ExternalResponseRecord answer = {0};
    event.name = "OnJsonApiEvent";
    event.payload = value;
    outgoing.headers = &pair;
    outgoing.headerCount = 1;
    if (descriptor.major != 18 || context.pluginHandle != 7 || answer.release != NULL ||
        event.payload.kind != HOST_VALUE_STRING_BORROWED || outgoing.headers[0].name[0] != 'u')
      return 8;
    if (sizeof(void*) == 4 &&
        (sizeof(PluginDescriptor) != 28 || offsetof(PluginDescriptor, exportTable) != 24 ||
         sizeof(HostContext) != 8 || sizeof(PluginCallbacks) != 12 || sizeof(HostEvent) != 24 ||
         offsetof(HostEvent, payload) != 4 || offsetof(HostEvent, flags) != 16 ||
         offsetof(HostEvent, context) != 20 || sizeof(ExternalRequestRecord) != 32 ||
         sizeof(ExternalResponseRecord) != 28 || offsetof(ExternalResponseRecord, release) != 24))
      return 9;
  }
  return 0;
}
