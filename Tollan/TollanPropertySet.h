// Tollan property sets: a list of named modules, each holding typed, named
// property values, used as initial values of devices and streams, as the
// result of KrDeviceProxyGetAllProperties and as batch configuration.
//
// A set belongs to its creator and goes back through KrPropertySetDestroy.
// Module and property order is the order of first addition. Adding a
// property to a module that the set does not hold adds the module. Adding a
// property that exists replaces its value (and its type). A set is not
// thread-safe: one thread at a time. An enumerator belongs to its creator,
// refers to its set (which must outlive it) and sees the set as it was when
// the enumerator was made.
//
// Every call: a null handle or pointer is 0x10004; a module or property name
// of KR_MAX_NAME_LENGTH characters or more is 0x10006 when adding; a string
// value of more than 199 characters is KR_STATUS_TL_BAD_PROPERTY_SIZE; an
// allocation failure is 0x20001 and leaves the set as it was.
#pragma once

#include <Tollan/TollanTypes.h>

KrStatus KrPropertySetCreate(KrPropertySetHandle* set);
KrStatus KrPropertySetDestroy(KrPropertySetHandle* set);  // sets *set to null
KrStatus KrPropertySetClone(KrPropertySetHandle source, KrPropertySetHandle* copy);
KrStatus KrPropertySetAddModule(KrPropertySetHandle set, const char* module);
KrStatus KrPropertySetRemoveModule(KrPropertySetHandle set, const char* module);
KrStatus KrPropertySetAddIntProperty(KrPropertySetHandle set, const char* module, const char* property,
                                     uint64_t value);
KrStatus KrPropertySetAddRealProperty(KrPropertySetHandle set, const char* module, const char* property,
                                      double value);
KrStatus KrPropertySetAddStringProperty(KrPropertySetHandle set, const char* module, const char* property,
                                        const char* value);
// The set keeps its own copy of the value's bytes.
KrStatus KrPropertySetAddGeneralProperty(KrPropertySetHandle set, const char* module, const char* property,
                                         const KrGeneralBuffer* value);
KrStatus KrPropertySetRemoveProperty(KrPropertySetHandle set, const char* module, const char* property);

// Lookups. A missing module or property is 0x1000A; a value of another type
// is KR_STATUS_TL_BAD_PROPERTY_TYPE. The general getter gives a view of the
// set's own bytes, valid until the set changes.
KrStatus KrPropertySetDoesModuleExist(KrPropertySetHandle set, const char* module, int* exists);
KrStatus KrPropertySetGetPropertyType(KrPropertySetHandle set, const char* module, const char* property,
                                      KrPropertyType* type);
KrStatus KrPropertySetGetIntProperty(KrPropertySetHandle set, const char* module, const char* property,
                                     uint64_t* value);
KrStatus KrPropertySetGetRealProperty(KrPropertySetHandle set, const char* module, const char* property,
                                      double* value);
// A capacity too small for the text gets as much as fits, terminated, and
// 0x10007.
KrStatus KrPropertySetGetStringProperty(KrPropertySetHandle set, const char* module, const char* property,
                                        char* value, uint32_t capacity);
KrStatus KrPropertySetGetGeneralProperty(KrPropertySetHandle set, const char* module, const char* property,
                                         KrGeneralBuffer* value);
// Number of modules, and of properties in all modules.
KrStatus KrPropertySetGetCounts(KrPropertySetHandle set, uint32_t* modules, uint32_t* properties);

// Enumeration over every property (or those of one module when module is
// not null), modules in order, properties in order within each. The
// enumerator starts before the first entry; MoveNext steps and reports
// *end = true once past the last (and stays there). A module filter that
// the set lacks is 0x1000A. The current-entry calls give 0x1000A before
// the first MoveNext and past the end.
KrStatus KrPropertySetGetEnumerator(KrPropertySetHandle set, KrPropertySetEnumeratorHandle* enumerator,
                                    const char* module);
KrStatus KrPropertySetEnumeratorFree(KrPropertySetEnumeratorHandle* enumerator);
KrStatus KrPropertySetEnumeratorMoveNext(KrPropertySetEnumeratorHandle enumerator, bool* end);
// Module and property names stay valid while the enumerator lives.
KrStatus KrPropertySetEnumeratorGetCurrentPropertyInfo(KrPropertySetEnumeratorHandle enumerator,
                                                       KrPropertyType* type, const char** module,
                                                       const char** property);
KrStatus KrPropertySetEnumeratorGetIntValue(KrPropertySetEnumeratorHandle enumerator, uint64_t* value);
KrStatus KrPropertySetEnumeratorGetRealValue(KrPropertySetEnumeratorHandle enumerator, double* value);
KrStatus KrPropertySetEnumeratorGetStringValue(KrPropertySetEnumeratorHandle enumerator, const char** value);
KrStatus KrPropertySetEnumeratorGetGeneralValue(KrPropertySetEnumeratorHandle enumerator, KrGeneralBuffer* value);
