/* plugin_abi.h: every record and function table that crosses the boundary between the plugin
 * module and its host. Plain C (C99 and later, and C++), usable by any host.
 *
 * Conventions: integer words are uint32_t / int32_t; pointers and callbacks are native pointers;
 * records marked packed have no padding. On a 32-bit target every size and offset equals the
 * documented number (checked below); on a 64-bit target the same records hold 8-byte pointers.
 * Strings are NUL-terminated and belong to the sender for the duration of a call. Callbacks take
 * a context pointer (or the table itself) first and never let a C++ exception escape. */
#ifndef TPK_PLUGIN_ABI_H
#define TPK_PLUGIN_ABI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
#define TPK_ABI_ASSERT(condition, message) static_assert(condition, message)
#else
#define TPK_ABI_ASSERT(condition, message) _Static_assert(condition, message)
#endif
#define TPK_ABI_32BIT (UINTPTR_MAX == 0xFFFFFFFFu)

/* ---- HostValue: the flat tagged value in which values cross the boundary. ---- */

/* HostValue kinds. "Owned" memory was allocated by the sender's allocation functions and is
 * released by the sender's release function; "borrowed" memory is only read. */
enum HostValueKind {
  HOST_VALUE_EMPTY = 0,
  HOST_VALUE_BOOL = 1,            /* payload.boolean: 0 or 1 */
  HOST_VALUE_SIGNED = 2,          /* payload.signedValue */
  HOST_VALUE_UNSIGNED = 3,        /* payload.unsignedValue */
  HOST_VALUE_FLOAT = 4,           /* payload.floatValue, IEEE double */
  HOST_VALUE_STRING_BORROWED = 5, /* payload.string: text up to its first NUL; length unused */
  HOST_VALUE_STRING_OWNED = 6,
  HOST_VALUE_BLOB_BORROWED = 7, /* payload.blob */
  HOST_VALUE_BLOB_OWNED = 8,
  HOST_VALUE_COLLECTION = 9, /* payload.collection: owned array of HostValue */
  HOST_VALUE_STRUCTURE = 10  /* payload.structure: owned array of HostValueEntry */
};

struct HostValue;
struct HostValueEntry;

#pragma pack(push, 1)

typedef struct HostValueText {
  const char* text;
  uint32_t length;
} HostValueText;

typedef struct HostValueBytes {
  const uint8_t* bytes;
  uint32_t size;
} HostValueBytes;

typedef struct HostValueArray {
  struct HostValue* items;
  uint32_t count;
} HostValueArray;

typedef struct HostValueEntries {
  struct HostValueEntry* entries;
  uint32_t count;
} HostValueEntries;

/* 12 bytes on a 32-bit target: the kind, then an 8-byte payload. */
typedef struct HostValue {
  uint32_t kind; /* enum HostValueKind */
  union {
    uint8_t boolean;
    int64_t signedValue;
    uint64_t unsignedValue;
    double floatValue;
    HostValueText string;
    HostValueBytes blob;
    HostValueArray collection;
    HostValueEntries structure;
  } payload;
} HostValue;

/* One member of a HostValue structure: 17 bytes on a 32-bit target. */
typedef struct HostValueEntry {
  const char* key; /* NUL-terminated */
  HostValue value;
  uint8_t keyOwned; /* 1: the key is released with the entry */
} HostValueEntry;

#pragma pack(pop)

TPK_ABI_ASSERT(sizeof(HostValue) == 4 + (TPK_ABI_32BIT ? 8 : 12), "HostValue layout");
TPK_ABI_ASSERT(offsetof(HostValue, payload) == 4, "HostValue payload offset");
TPK_ABI_ASSERT(sizeof(HostValueEntry) == sizeof(void*) + sizeof(HostValue) + 1,
               "HostValueEntry layout");
TPK_ABI_ASSERT(offsetof(HostValueEntry, value) == sizeof(void*), "HostValueEntry value offset");
TPK_ABI_ASSERT(!TPK_ABI_32BIT || sizeof(HostValue) == 12, "HostValue is 12 bytes on 32-bit");
TPK_ABI_ASSERT(!TPK_ABI_32BIT || sizeof(HostValueEntry) == 17,
               "a HostValue structure entry is 17 bytes on 32-bit");

/* ---- HostApi: the host's function table, word 0 of the HostContext. ---- */

/* Records defined with the features that use them. */
struct ApiRequestRecord;
struct ApiResponseRecord;
struct ExternalRequest;
struct ExternalResponse;
struct HostEvent;

typedef struct HostApi HostApi;

/* Called by the host for each event of a subscribed name; the record carries the context given
 * to SubscribeEvent. */
typedef void (*HostEventCallback)(const struct HostEvent* event);
/* Called by the host once for a scheduled job. */
typedef void (*HostJobCallback)(void* context);

/* Every entry is called with the table's own address first. Results the plugin ignores are
 * declared int32_t. */
struct HostApi {
  /* 0: an API call of another module; returns when `response` is complete. */
  int32_t (*SendRequest)(const HostApi* api, struct ApiResponseRecord* response,
                         const struct ApiRequestRecord* request);
  /* 1: an HTTP exchange with a remote service; returns when it completed or failed. */
  int32_t (*SendExternalRequest)(const HostApi* api, struct ExternalResponse* response,
                                 const struct ExternalRequest* request);
  /* 2: delivers an event to its subscribers. */
  int32_t (*PublishEvent)(const HostApi* api, const struct HostEvent* event);
  /* 3: `flag` is 1 for the service-proxy events, else 0. */
  int32_t (*SubscribeEvent)(const HostApi* api, const char* eventName, uint32_t pluginHandle,
                            HostEventCallback callback, void* context, uint32_t flag);
  /* 4 */
  int32_t (*UnsubscribeEvent)(const HostApi* api, const char* eventName, uint32_t pluginHandle);
  /* 5: calls callback(context) once, not before `delaySeconds`; `flag` is 0. */
  int32_t (*ScheduleJob)(const HostApi* api, const char* jobName, HostJobCallback callback,
                         void* context, double delaySeconds, uint32_t flag);
  /* 6 */
  int32_t (*Yield)(const HostApi* api);
  /* 7 */
  int32_t (*MarkWait)(const HostApi* api, const char* text, int32_t value);
  /* 8 */
  int32_t (*EndWait)(const HostApi* api);
  /* 9: one log message; level 0 OKAY, 1 WARN, 2 ERROR, 3 ALWAYS. */
  int32_t (*Log)(const HostApi* api, int32_t level, const char* message);
};

TPK_ABI_ASSERT(sizeof(HostApi) == 10 * sizeof(void (*)(void)), "HostApi has ten slots");
TPK_ABI_ASSERT(offsetof(HostApi, Log) == 9 * sizeof(void (*)(void)), "HostApi Log is slot 9");

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TPK_PLUGIN_ABI_H */
