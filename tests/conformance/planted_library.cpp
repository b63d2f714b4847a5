// planted_library.dll: a library that the module tests put beside their program under the name
// of a system library (windows build only). Its one export tells it apart from the real one.
#include "platform/win32.h"

extern "C" __declspec(dllexport) int PlantedMarker() { return 1; }
