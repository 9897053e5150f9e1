// Kestrane's finish functions: the NESA self test after new parameters.
#include "FinishFunctions.h"

namespace kestrane {
namespace {

const char kModuleName[] = "FinishFunctions";
// The result field starts at "not passed": a sensor that does not write it
// back must not be taken for one that passed.
constexpr uint32_t kBistNotRun = 0xFFFFFFFF;

}  // namespace

KrStatus RunBISTNESAUnlimited() {
  KESTRANE_LOG(">>>>>> Running the special finish function: RunBISTNESAUnlimited!");
  if (g_tool.nesiUpdated == 0) {
    KESTRANE_LOG(">>>>>> Skipping, no need to run (No update was made during NESI).");
    return KR_STATUS_OK;
  }
  ResetAndReconnect();
  KESTRANE_LOG(">>>>>> Running BIST NESA Unlimited...");
  BistRecord bist = {kBistSelectorNesaUnlimited, kBistNotRun};
  KESTRANE_CHECK(SetDeviceRecord("BIST", &bist, sizeof(bist)), "Failed to run BIST");
  if (bist.result != 0) {
    KESTRANE_LOG(">>>>>> BIST NESA Unlimited Failed!");
    return kFailure;
  }
  KESTRANE_LOG(">>>>>> BIST NESA Unlimited Passed!");
  KESTRANE_LOG(">>>>>> Done!");
  return KR_STATUS_OK;
}

}  // namespace kestrane
