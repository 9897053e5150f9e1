#include <Ovalith/Infrastructure/KrVStatus.h>

#include <Orvane/OrvaneStatus.h>

namespace {

// Registration order gives the codes: row i is code 5000 + i. Only the first
// row's code is read by the registry.
const KrErrorCodeMessage kEngineStatusTable[] = {
    {5000, "KR_ERROR_GROUP_HALCYTE_OK", "KR_ERROR_GROUP_HALCYTE OK"},
    {0, "KR_STATUS_QM_NOT_INITIALIZED", "Device was not initialized!"},
    {0, "KR_STATUS_QM_RESOLUTION_ILLEGAL", "Invalid resolution!"},
    {0, "KR_STATUS_QM_RESOLUTION_MISMATCH", "Resolutions do not match!"},
    {0, "KR_STATUS_QM_NOT_ENOUGH_INFORMATION", "Not enough information!"},
    {0, "KR_STATUS_QM_ILLEGAL_INPUT", "Illegal input!"},
    {0, "KR_STATUS_QM_NOT_ENOUGH_MEMORY", "Not enough memory!"},
    {0, "KR_STATUS_QM_WRONG_DEVICE", "Wrong device!"},
    {0, "KR_STATUS_QM_PARTIAL_SUCCESS", "Operation succeeded partially!"},
    {0, "KR_STATUS_QM_UNSUPPORTED_FUNCTIONALITY", "This functionality is not supported!"},
    {0, "KR_STATUS_QM_BAD_PARAMETER", "Bad parameter!"},
    {0, "KR_STATUS_QM_ERROR", "Error!"},
    {0, "KR_STATUS_QM_MATRIX_NOT_SYMMETRIC", "Matrix must be symmetric for this operation"},
};

// Runs when the library is loaded, before any exported operation can be
// called. A failed registration is not reported: statuses then render as
// their hex value.
struct EngineStatusRegistration {
  EngineStatusRegistration() {
    krRegisterErrorCodeMessages(KR_ERROR_GROUP_HALCYTE, 5000,
                                static_cast<uint16_t>(sizeof(kEngineStatusTable) / sizeof(kEngineStatusTable[0])),
                                kEngineStatusTable);
  }
};
const EngineStatusRegistration kRegisterAtLoad;

}  // namespace
