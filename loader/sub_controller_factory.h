// The standard factory of the service's sub-controllers: the Profile and the Update
// sub-controller, by kind. The main controller builds its instance with it unless it is given
// another.
#pragma once

#include "loader/sub_controller.h"

namespace dpal {

class CFactorySubControllerImpl final : public CFactorySubController {
 public:
  CAbstractSubController* CreateSubController(int kind) override;
};

}  // namespace dpal
