#include "loader/sub_controller_factory.h"

#include "loader/profile_controller.h"
#include "loader/update_controller.h"

namespace dpal {

CAbstractSubController* CFactorySubControllerImpl::CreateSubController(int kind) {
  switch (kind) {
    case SubControllerKind::Profile: return new CDPALProfileSubController();
    case SubControllerKind::Update: return new CDPALUpdateSubController();
    default: return nullptr;
  }
}

}  // namespace dpal
