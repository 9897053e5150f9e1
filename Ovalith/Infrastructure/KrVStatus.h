// The engine's status codes (group 3, codes 5000 to 5012). Their names and
// messages are registered with Orvane when the library is loaded, so
// krGetStatusString renders every status the engine returns. Statuses of
// Orvane (groups 1 and 2) and of the Tollan kit (group 3, other codes) pass
// through the engine unchanged.
#pragma once

#include <Orvane/OrvaneTypes.h>

#define KR_ERROR_GROUP_HALCYTE 3

#define KR_ERROR_GROUP_HALCYTE_OK ((KrStatus)0x31388)  // the group's marker; no operation returns it
#define KR_STATUS_QM_NOT_INITIALIZED ((KrStatus)0x31389)
#define KR_STATUS_QM_RESOLUTION_ILLEGAL ((KrStatus)0x3138A)
#define KR_STATUS_QM_RESOLUTION_MISMATCH ((KrStatus)0x3138B)
#define KR_STATUS_QM_NOT_ENOUGH_INFORMATION ((KrStatus)0x3138C)
#define KR_STATUS_QM_ILLEGAL_INPUT ((KrStatus)0x3138D)
#define KR_STATUS_QM_NOT_ENOUGH_MEMORY ((KrStatus)0x3138E)
#define KR_STATUS_QM_WRONG_DEVICE ((KrStatus)0x3138F)
#define KR_STATUS_QM_PARTIAL_SUCCESS ((KrStatus)0x31390)
#define KR_STATUS_QM_UNSUPPORTED_FUNCTIONALITY ((KrStatus)0x31391)
#define KR_STATUS_QM_BAD_PARAMETER ((KrStatus)0x31392)
#define KR_STATUS_QM_ERROR ((KrStatus)0x31393)
#define KR_STATUS_QM_MATRIX_NOT_SYMMETRIC ((KrStatus)0x31394)
