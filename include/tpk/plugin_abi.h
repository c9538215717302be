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
struct ExternalRequestRecord;
struct ExternalResponseRecord;
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
  int32_t (*SendExternalRequest)(const HostApi* api, struct ExternalResponseRecord* response,
                                 const struct ExternalRequestRecord* request);
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

/* ---- Flat API description: the registered functions, types and events as linked arrays. ---- */

/* Every record starts with a link to the next record of the same array (null in the last one), so
 * a host may walk a list from its first record alone. Texts belong to the module and stay valid
 * while its API registry is unchanged; an empty text is "", never null. Codes are the binding type
 * codes 1 to 19 ("bool" ... "map"), 0 for anything else. Type names are set only for vector, enum,
 * struct and map descriptors that carry a registered type, and are "" otherwise. */

#pragma pack(push, 1)

/* 25 bytes on a 32-bit target. */
typedef struct FlatArgumentRecord {
  const struct FlatArgumentRecord* next;
  const char* name;
  const char* description;
  uint32_t code;
  uint32_t elementCode; /* for vector and map */
  const char* typeName;
  uint8_t optional;
} FlatArgumentRecord;

/* 61 bytes on a 32-bit target. */
typedef struct FlatFunctionRecord {
  const struct FlatFunctionRecord* next;
  void* reserved; /* zero */
  void* userData; /* zero here; an export entry keeps its user data in this slot */
  const char* name;
  const char* nameSpace;
  const FlatArgumentRecord* arguments;
  uint32_t argumentCount;
  uint32_t returnCode;
  uint32_t returnElementCode;
  const char* returnTypeName;
  const char* description;
  const char* help;
  uint8_t threadSafe;
  const char* asyncTypeName; /* the completion event's payload type of an async function, or "" */
  const char* const* tags;
  uint32_t tagCount;
} FlatFunctionRecord;

/* 29 bytes on a 32-bit target. */
typedef struct FlatFieldRecord {
  const struct FlatFieldRecord* next;
  const char* name;
  const char* description;
  uint32_t offset; /* inside the native structure */
  uint32_t code;
  uint32_t elementCode;
  const char* typeName;
  uint8_t optional;
} FlatFieldRecord;

/* 16 bytes on a 32-bit target. */
typedef struct FlatEnumeratorRecord {
  const struct FlatEnumeratorRecord* next;
  const char* name;
  const char* description;
  int32_t value;
} FlatEnumeratorRecord;

/* 40 bytes on a 32-bit target. A struct has fields and no enumerators, an enum the reverse;
 * `count` counts the one that is set. */
typedef struct FlatTypeRecord {
  const struct FlatTypeRecord* next;
  const char* name;
  const char* nameSpace;
  uint32_t nativeSize;
  const char* description;
  const char* const* tags;
  uint32_t tagCount;
  const FlatFieldRecord* fields;
  const FlatEnumeratorRecord* enumerators;
  uint32_t count;
} FlatTypeRecord;

/* 28 bytes on a 32-bit target. */
typedef struct FlatEventRecord {
  const struct FlatEventRecord* next;
  const char* name;
  const char* nameSpace;
  const char* dataTypeName;
  const char* description;
  const char* const* tags;
  uint32_t tagCount;
} FlatEventRecord;

#pragma pack(pop)

TPK_ABI_ASSERT(sizeof(FlatArgumentRecord) == 4 * sizeof(void*) + 9, "FlatArgumentRecord layout");
TPK_ABI_ASSERT(offsetof(FlatArgumentRecord, typeName) == 3 * sizeof(void*) + 8,
               "FlatArgumentRecord type name offset");
TPK_ABI_ASSERT(sizeof(FlatFunctionRecord) == 11 * sizeof(void*) + 17, "FlatFunctionRecord layout");
TPK_ABI_ASSERT(offsetof(FlatFunctionRecord, userData) == 2 * sizeof(void*),
               "FlatFunctionRecord user data offset");
TPK_ABI_ASSERT(offsetof(FlatFunctionRecord, returnCode) == 6 * sizeof(void*) + 4,
               "FlatFunctionRecord return code offset");
TPK_ABI_ASSERT(offsetof(FlatFunctionRecord, threadSafe) == 9 * sizeof(void*) + 12,
               "FlatFunctionRecord thread-safe offset");
TPK_ABI_ASSERT(offsetof(FlatFunctionRecord, tagCount) == 11 * sizeof(void*) + 13,
               "FlatFunctionRecord tag count offset");
TPK_ABI_ASSERT(sizeof(FlatFieldRecord) == 4 * sizeof(void*) + 13, "FlatFieldRecord layout");
TPK_ABI_ASSERT(offsetof(FlatFieldRecord, offset) == 3 * sizeof(void*), "FlatFieldRecord offset");
TPK_ABI_ASSERT(sizeof(FlatEnumeratorRecord) == 3 * sizeof(void*) + 4,
               "FlatEnumeratorRecord layout");
TPK_ABI_ASSERT(sizeof(FlatTypeRecord) == 7 * sizeof(void*) + 12, "FlatTypeRecord layout");
TPK_ABI_ASSERT(offsetof(FlatTypeRecord, fields) == 5 * sizeof(void*) + 8,
               "FlatTypeRecord field array offset");
TPK_ABI_ASSERT(sizeof(FlatEventRecord) == 6 * sizeof(void*) + 4, "FlatEventRecord layout");
TPK_ABI_ASSERT(!TPK_ABI_32BIT || sizeof(FlatFunctionRecord) == 61,
               "a flat function record is 61 bytes on 32-bit");
TPK_ABI_ASSERT(!TPK_ABI_32BIT || offsetof(FlatFunctionRecord, userData) == 8,
               "a flat function record's user data slot is at byte 8 on 32-bit");
TPK_ABI_ASSERT(!TPK_ABI_32BIT || offsetof(FlatFunctionRecord, threadSafe) == 48,
               "a flat function record's thread-safe byte is at byte 48 on 32-bit");
TPK_ABI_ASSERT(!TPK_ABI_32BIT || sizeof(FlatArgumentRecord) == 25,
               "a flat argument record is 25 bytes on 32-bit");
TPK_ABI_ASSERT(!TPK_ABI_32BIT || sizeof(FlatTypeRecord) == 40,
               "a flat type record is 40 bytes on 32-bit");
TPK_ABI_ASSERT(!TPK_ABI_32BIT || sizeof(FlatFieldRecord) == 29,
               "a flat field record is 29 bytes on 32-bit");
TPK_ABI_ASSERT(!TPK_ABI_32BIT || sizeof(FlatEnumeratorRecord) == 16,
               "a flat enumerator record is 16 bytes on 32-bit");
TPK_ABI_ASSERT(!TPK_ABI_32BIT || sizeof(FlatEventRecord) == 28,
               "a flat event record is 28 bytes on 32-bit");

/* ---- end of the flat API description ---- */

/* ---- API requests: the records of one call of an exported API function. ---- */

#pragma pack(push, 1)

/* One request header or response header: two NUL-terminated texts. */
typedef struct ApiHeader {
  const char* name;
  const char* value;
} ApiHeader;

/* A native argument: an argument name (null to bind by position) and the value. 16 bytes on a
 * 32-bit target. */
typedef struct ApiNativeArgument {
  const char* name;
  HostValue value;
} ApiNativeArgument;

#pragma pack(pop)

/* Given by the host for each call; twelve words. The host owns everything it points to. */
struct ApiRequestRecord {
  uint32_t method;                          /* 0: 1 DELETE ... 7 PUT, 8 named by methodName */
  const char* target;                       /* 1: path, optionally "?" and a query string */
  const ApiNativeArgument* nativeArguments; /* 2 */
  uint32_t nativeArgumentCount;             /* 3 */
  void* userData;                           /* 4: the export entry's user data */
  const ApiHeader* headers;                 /* 5 */
  uint32_t headerCount;                     /* 6 */
  const char* contentType;                  /* 7: of the body */
  const uint8_t* body;                      /* 8: null when there is no body */
  uint32_t bodyLength;                      /* 9 */
  void* callerContext;                      /* 10: handed to the function unread */
  const char* methodName;                   /* 11: read only when method is 8 */
};
typedef struct ApiRequestRecord ApiRequestRecord;

/* Pulls the next piece of a response body into buffer: on entry *length is the room, on return
 * the bytes written; *moreData tells whether bytes remain. 0 when the body cannot be read. */
typedef uint8_t (*ApiBodyReadCallback)(void* stream, void* buffer, uint32_t* length,
                                       uint8_t* moreData);
/* Destroys a response body stream; call it at most once, before the record's free callback. */
typedef void (*ApiBodyReleaseCallback)(void* stream);
/* Releases everything the module put into a response record and zeroes it. */
typedef void (*ApiResponseFreeCallback)(struct ApiResponseRecord* response);

#pragma pack(push, 1)

/* Allocated by the host, filled by the module; 62 bytes on a 32-bit target. When the host has
 * read it, it calls `free` (which is always set). */
struct ApiResponseRecord {
  HostValue value;                    /* 0: the result, owned by the module */
  char* errorMessage;                 /* 12: set when error is 1 */
  uint8_t error;                      /* 16: 1 when the call failed */
  uint8_t settingByte;                /* 17 */
  uint32_t settingCode;               /* 18: 1, 2 or 3, else 0 */
  uint32_t status;                    /* 22: 0 when the function set none */
  char* text;                         /* 26: never null once filled ("" when none) */
  ApiHeader* headers;                 /* 30 */
  uint32_t headerCount;               /* 34 */
  ApiBodyReadCallback readBody;       /* 38: set with bodyStream */
  ApiBodyReleaseCallback releaseBody; /* 42: set with bodyStream */
  uint32_t bodySize;                  /* 46 */
  uint32_t reserved;                  /* 50: zero */
  void* bodyStream;                   /* 54: null when there is no body */
  ApiResponseFreeCallback free;       /* 58 */
};
typedef struct ApiResponseRecord ApiResponseRecord;

#pragma pack(pop)

TPK_ABI_ASSERT(sizeof(ApiNativeArgument) == sizeof(void*) + sizeof(HostValue),
               "ApiNativeArgument layout");
TPK_ABI_ASSERT(sizeof(ApiRequestRecord) == 12 * (TPK_ABI_32BIT ? 4 : 8), "ApiRequestRecord layout");
TPK_ABI_ASSERT(offsetof(ApiResponseRecord, errorMessage) == sizeof(HostValue),
               "ApiResponseRecord error message offset");
TPK_ABI_ASSERT(offsetof(ApiResponseRecord, status) == sizeof(HostValue) + sizeof(void*) + 6,
               "ApiResponseRecord status offset");
TPK_ABI_ASSERT(sizeof(ApiResponseRecord) == sizeof(HostValue) + 7 * sizeof(void*) + 22,
               "ApiResponseRecord layout");
TPK_ABI_ASSERT(!TPK_ABI_32BIT || sizeof(ApiNativeArgument) == 16,
               "a native argument is 16 bytes on 32-bit");
TPK_ABI_ASSERT(!TPK_ABI_32BIT || sizeof(ApiRequestRecord) == 48,
               "a request record is 12 words on 32-bit");
TPK_ABI_ASSERT(!TPK_ABI_32BIT || sizeof(ApiResponseRecord) == 62,
               "a response record is 62 bytes on 32-bit");
TPK_ABI_ASSERT(!TPK_ABI_32BIT || (offsetof(ApiResponseRecord, errorMessage) == 12 &&
                                  offsetof(ApiResponseRecord, error) == 16 &&
                                  offsetof(ApiResponseRecord, settingCode) == 18 &&
                                  offsetof(ApiResponseRecord, status) == 22 &&
                                  offsetof(ApiResponseRecord, text) == 26 &&
                                  offsetof(ApiResponseRecord, readBody) == 38 &&
                                  offsetof(ApiResponseRecord, bodySize) == 46 &&
                                  offsetof(ApiResponseRecord, bodyStream) == 54 &&
                                  offsetof(ApiResponseRecord, free) == 58),
               "response record offsets on 32-bit");

/* ---- The export table: how the host learns the API's HTTP functions and calls them. ---- */

/* Called by the host for a request to one export entry; `response` is filled (see above). */
typedef void (*ApiExportCallback)(ApiResponseRecord* response, const ApiRequestRecord* request);

/* The user data of an export entry, given back in word 4 of each request to it. */
typedef struct ApiExportUserData {
  void* registry; /* the module's API registry */
  void* binding;  /* the function's route binding */
} ApiExportUserData;

#pragma pack(push, 1)

/* Where a request may supply one argument of a function; 8 bytes on a 32-bit target. */
typedef struct ApiArgumentLocationRecord {
  const struct ApiArgumentLocationRecord* next; /* the function's next argument, or null */
  uint32_t location;                            /* 0 anywhere, 1 query, 2 path, 4 header, 5 body */
} ApiArgumentLocationRecord;

/* One list of texts attached to a route binding. */
typedef struct ApiStringListRecord {
  const struct ApiStringListRecord* next;
  const char* const* texts;
  uint32_t count;
} ApiStringListRecord;

/* One HTTP-served function; 90 bytes on a 32-bit target. The function's flat record comes first,
 * with its link pointing to the next entry's record and its user data set. */
typedef struct ApiExportEntry {
  FlatFunctionRecord function;                        /* 0 */
  ApiExportCallback callback;                         /* 61 */
  const ApiArgumentLocationRecord* argumentLocations; /* 65: one per argument, in order */
  const char* pathTemplate;                           /* 69 */
  uint32_t method;                                    /* 73: 1 to 8, else 0 (any) */
  uint8_t flags;                                      /* 77 */
  const ApiStringListRecord* stringLists;             /* 78 */
  uint32_t stringListCount;                           /* 82 */
  const char* methodName;                             /* 86 */
} ApiExportEntry;

#pragma pack(pop)

/* Six words: the entries (linked through their first word), their number, and the heads of the
 * flat description's function, type and event lists (every registered item, served over HTTP or
 * not), then a zero word. */
typedef struct ApiExportTable {
  const ApiExportEntry* entries;
  uint32_t entryCount;
  const FlatFunctionRecord* functions;
  const FlatTypeRecord* types;
  const FlatEventRecord* events;
  uint32_t reserved;
} ApiExportTable;

TPK_ABI_ASSERT(sizeof(ApiArgumentLocationRecord) == sizeof(void*) + 4,
               "ApiArgumentLocationRecord layout");
TPK_ABI_ASSERT(offsetof(ApiExportEntry, callback) == sizeof(FlatFunctionRecord),
               "ApiExportEntry callback offset");
TPK_ABI_ASSERT(sizeof(ApiExportEntry) == sizeof(FlatFunctionRecord) + 5 * sizeof(void*) + 9,
               "ApiExportEntry layout");
TPK_ABI_ASSERT(!TPK_ABI_32BIT || sizeof(ApiArgumentLocationRecord) == 8,
               "an argument-location record is 8 bytes on 32-bit");
TPK_ABI_ASSERT(!TPK_ABI_32BIT || (sizeof(ApiExportEntry) == 90 &&
                                  offsetof(ApiExportEntry, argumentLocations) == 65 &&
                                  offsetof(ApiExportEntry, pathTemplate) == 69 &&
                                  offsetof(ApiExportEntry, method) == 73 &&
                                  offsetof(ApiExportEntry, flags) == 77 &&
                                  offsetof(ApiExportEntry, stringLists) == 78 &&
                                  offsetof(ApiExportEntry, stringListCount) == 82 &&
                                  offsetof(ApiExportEntry, methodName) == 86),
               "an export entry is 90 bytes on 32-bit, with the documented offsets");
TPK_ABI_ASSERT(!TPK_ABI_32BIT || sizeof(ApiExportTable) == 24, "the export table is six words");

/* ---- end of the API request records and export table ---- */

/* ---- Module entry: the descriptor, the module's callbacks and the host context. ---- */

typedef struct PluginCallbacks PluginCallbacks;

/* Seven words, owned by the host. On entry words 0 to 2 hold the core's plugin API version; the
 * module overwrites all seven before its export returns. */
typedef struct PluginDescriptor {
  uint32_t major;                    /* 0: in: the core's; out: the module's (18) */
  uint32_t minor;                    /* 1: in: the core's; out: the module's (0) */
  uint32_t patch;                    /* 2: in: the core's; out: the module's (0) */
  const PluginCallbacks* callbacks;  /* 3: out: the module's callback table */
  void* context;                     /* 4: out: passed back first to every callback */
  const char* shortName;             /* 5: out: owned by the module ("qel-mhx") */
  const ApiExportTable* exportTable; /* 6: out: the module's API export table */
} PluginDescriptor;

/* Two words, owned by the host and valid from Start until Unload returns. */
typedef struct HostContext {
  const HostApi* api;    /* 0: the host's function table */
  uint32_t pluginHandle; /* 1: opaque; given back when subscribing and sending requests */
} HostContext;

/* Three callbacks, each taking the descriptor's context first. */
struct PluginCallbacks {
  /* 0: returns 1 when the module started. */
  uint8_t (*Start)(void* context, const HostContext* hostContext);
  /* 1: stops the module and destroys it; the context is invalid afterwards. */
  void (*Unload)(void* context);
  /* 2: fills 14 words: six 64-bit counters, low word first (peak bytes in use, live allocations
   * at that peak, bytes allocated, allocations, bytes freed, frees), then two zero words. */
  void (*GetMemoryStats)(void* context, uint32_t* words);
};

/* The module's one export: fills the descriptor and returns the module's object. */
typedef void* (*PluginExportFunction)(PluginDescriptor* descriptor);

TPK_ABI_ASSERT(offsetof(PluginDescriptor, exportTable) ==
                   offsetof(PluginDescriptor, callbacks) + 3 * sizeof(void*),
               "PluginDescriptor layout");
TPK_ABI_ASSERT(sizeof(PluginCallbacks) == 3 * sizeof(void (*)(void)), "PluginCallbacks layout");
TPK_ABI_ASSERT(!TPK_ABI_32BIT || sizeof(PluginDescriptor) == 28,
               "the descriptor is seven words on 32-bit");
TPK_ABI_ASSERT(!TPK_ABI_32BIT || sizeof(HostContext) == 8, "the host context is two words");
TPK_ABI_ASSERT(!TPK_ABI_32BIT || sizeof(PluginCallbacks) == 12,
               "the callback table is three words on 32-bit");

/* ---- Events: the record of one event, published or delivered. ---- */

/* 24 bytes on a 32-bit target. Published by a module: context 0. Delivered by the host: the
 * context given to SubscribeEvent. The host owns what a delivered record points to for the
 * duration of the callback. */
struct HostEvent {
  const char* name;  /* 0: NUL-terminated event name */
  HostValue payload; /* 4: the event's content */
  uint32_t flags;    /* 16 on 32-bit: the sender's flags (0 for resource changes) */
  void* context;     /* 20 on 32-bit */
};
typedef struct HostEvent HostEvent;

TPK_ABI_ASSERT(offsetof(HostEvent, payload) == sizeof(void*), "HostEvent payload offset");
TPK_ABI_ASSERT(offsetof(HostEvent, flags) == sizeof(void*) + sizeof(HostValue),
               "HostEvent flags offset");
TPK_ABI_ASSERT(!TPK_ABI_32BIT || (sizeof(HostEvent) == 24 && offsetof(HostEvent, flags) == 16 &&
                                  offsetof(HostEvent, context) == 20),
               "the event record is 24 bytes on 32-bit");

/* ---- External requests: an HTTP exchange with a remote service, made by the host. ---- */

/* Eight words, filled by the module and valid during the call. */
struct ExternalRequestRecord {
  uint32_t method;          /* 0: 1 DELETE ... 7 PUT */
  const char* url;          /* 1 */
  const ApiHeader* headers; /* 2: (name, value) pairs, sent in order */
  uint32_t headerCount;     /* 3 */
  const uint8_t* body;      /* 4 */
  uint32_t bodyLength;      /* 5 */
  uint32_t timeout;         /* 6: the host's unit; passed through unread */
  uint32_t flags;           /* 7: the host's meaning; passed through unread */
};
typedef struct ExternalRequestRecord ExternalRequestRecord;

/* Releases what the host put into an external response record. */
typedef void (*ExternalResponseReleaseCallback)(struct ExternalResponseRecord* response);

/* Seven words, filled by the host; the module calls `release` once it has read the answer. */
struct ExternalResponseRecord {
  int32_t transportResult;                 /* 0: 0 when the exchange completed */
  uint32_t status;                         /* 1: HTTP status */
  const ApiHeader* headers;                /* 2: (name, value) pairs */
  uint32_t headerCount;                    /* 3 */
  const uint8_t* body;                     /* 4: on a transport failure, the error description */
  uint32_t bodyLength;                     /* 5 */
  ExternalResponseReleaseCallback release; /* 6: may be null */
};
typedef struct ExternalResponseRecord ExternalResponseRecord;

TPK_ABI_ASSERT(!TPK_ABI_32BIT || sizeof(ExternalRequestRecord) == 32,
               "the external request record is eight words on 32-bit");
TPK_ABI_ASSERT(!TPK_ABI_32BIT || sizeof(ExternalResponseRecord) == 28,
               "the external response record is seven words on 32-bit");
TPK_ABI_ASSERT(!TPK_ABI_32BIT || (offsetof(ExternalRequestRecord, timeout) == 24 &&
                                  offsetof(ExternalResponseRecord, release) == 24),
               "external record offsets on 32-bit");

/* ---- end of the module entry, events and external requests ---- */

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TPK_PLUGIN_ABI_H */
