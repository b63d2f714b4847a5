#include "loader/sub_controller.h"

namespace dpal {

CAbstractSubController::CAbstractSubController()
    : completion_event_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

CAbstractSubController::~CAbstractSubController() = default;

}  // namespace dpal
