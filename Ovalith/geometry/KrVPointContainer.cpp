#include <Ovalith/geometry/KrVPointContainer.h>

#include <Ovalith/Infrastructure/KrVStatus.h>

KrVPointContainer::KrVPointContainer(unsigned int count) : KrVContainer(count, sizeof(KrVPoint)) {}

KrVPointContainer::KrVPointContainer(KrVPoint* points, unsigned int count)
    : KrVContainer(points, count, sizeof(KrVPoint)) {}

KrVPointContainer::~KrVPointContainer() = default;

KrStatus KrVPointContainer::SetSize(unsigned int count) {
  if (count > capacity) {
    return KR_STATUS_QM_BAD_PARAMETER;
  }
  size = count;
  return KR_STATUS_OK;
}
